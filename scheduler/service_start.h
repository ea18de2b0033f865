// Making sure the Task Scheduler runs on the local computer before the task
// list is first handed out.
#pragma once

#include "service/platform.h"

namespace velqosch {

// 0 when the scheduler runs or was started, otherwise the system error code
// of the step that failed. On the NT family it asks the Service Control
// Manager for the service "Schedule"; on the Windows 95 family (platform
// identifier 1) it looks for the agent's window and starts mstask.exe.
// Raises nothing.
LONG StartScheduler() noexcept;

}  // namespace velqosch
