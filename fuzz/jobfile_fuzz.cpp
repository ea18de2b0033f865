// Any bytes: the parser either refuses them with its documented result or
// accepts them, and what it accepts writes out and reads back unchanged.
#include <cstdint>
#include <cstdlib>

#include "tests/service_job/same_job.h"

using velqo::service::JobData;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    JobData first;
    HRESULT hr = velqo::service::ParseJob(data, size, first);
    if (FAILED(hr)) {
        if (hr != SCHED_E_INVALID_TASK && hr != SCHED_E_UNKNOWN_OBJECT_VERSION) std::abort();
        return 0;
    }
    if (hr != S_OK) std::abort();
    std::vector<BYTE> bytes;
    if (velqo::service::SerializeJob(first, bytes) != S_OK) std::abort();
    JobData second;
    if (velqo::service::ParseJob(bytes.data(), bytes.size(), second) != S_OK) std::abort();
    if (!jobtest::SameJob(first, second)) std::abort();
    // Written once by this service, the bytes are stable.
    std::vector<BYTE> again;
    if (velqo::service::SerializeJob(second, again) != S_OK || again != bytes) std::abort();
    return 0;
}
