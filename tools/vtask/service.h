// vtask's `service` command, and the registration of an installed component
// on first use.
#pragma once

#include <ostream>
#include <string>

#include "service/platform.h"

namespace vtask {

// `vtask service status|start|stop|enable`: the "Schedule" service through
// the service control, and (enable) its start with the user's session: the
// user unit velqosvc.service on POSIX, the automatic start on Windows.
// Returns the exit code.
int ServiceCommand(const std::string &word, std::ostream &out, std::ostream &err);

// When creating the component failed with `hr` because nothing usable is
// registered (no class, or a library that is gone), registers the component
// installed with this program (POSIX: the libvelqosch.so in the library
// folder next to its bin folder) in the user's registry and says so on
// `err`. True when it did; false on Windows, in a build tree, and for any
// other failure.
bool RegisterInstalledComponent(HRESULT hr, std::ostream &err);

}  // namespace vtask
