// A seam for the tests of the job-file writer: the function that writes the
// temporary file's bytes can be replaced, so that a test can make the Nth
// write fail or come up short (for example with ENOSPC) and check that the
// old file survives and no temporary file is left.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace velqo::service {

// Same contract as write(2). nullptr restores the real write.
using JobFileWriteFunction = ssize_t (*)(int fd, const void *buffer, std::size_t size);
void SetJobFileWriteFunction(JobFileWriteFunction function) noexcept;

}  // namespace velqo::service
