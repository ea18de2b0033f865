// Scheduler and its service start, over link-time stand-ins for the creation of
// the service's scheduler object and for the Service Control Manager (every
// other system call goes to the runtime).
#include <gtest/gtest.h>

#include <utility>

#include "common/fake_service.h"
#include "common/trace_viewer.h"
#include "globals/strings.h"
#include "scheduler/scheduler.h"
#include "scheduler/service_start.h"

using namespace velqosch;
using TaskScheduler::_Scheduler, TaskScheduler::_Tasks;
using Calls = std::vector<std::string>;

namespace {
namespace seam {
struct ServiceControl {
    DWORD state = SERVICE_RUNNING;  // what QueryServiceStatus reports
    // A non-zero code makes the step fail with it as the last error; a close that succeeds sets closeSetsError
    // (Windows leaves it alone; this shows when the code is read).
    DWORD openManagerError = 0, openServiceError = 0, queryError = 0, closeSetsError = 0;
    Calls calls;  // in order, e.g. "OpenSCManagerA(null,null,1)", "CloseServiceHandle(manager)"
    int openHandles = 0;
} control;
IUnknown *scheduler = nullptr;  // what CoCreateInstance(CLSID_CTaskScheduler) hands out, REGDB_E_CLASSNOTREG if none
HRESULT failNext = 0;           // the answer of the next creation (0: none)

// The two handles carry their kind's name, which the journal shows.
char manager[] = "manager", service[] = "service";
std::string Kind(SC_HANDLE h) { return reinterpret_cast<const char *>(h); }

// Journals the call; a scripted error fails it with that last error.
bool Step(const std::string &call, DWORD error) {
    control.calls.push_back(call);
    if (error) SetLastError(error);
    return error == 0;
}
SC_HANDLE Open(const std::string &call, DWORD error, char *kind) {
    if (!Step(call, error)) return nullptr;
    ++control.openHandles;
    return reinterpret_cast<SC_HANDLE>(kind);
}
}  // namespace seam
}  // namespace

VQAPI HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN, DWORD, REFIID riid, LPVOID *ppv) {
    *ppv = nullptr;
    if (const HRESULT hr = std::exchange(seam::failNext, 0); hr != 0) return hr;
    if (!IsEqualCLSID(rclsid, CLSID_CTaskScheduler) || !seam::scheduler) return REGDB_E_CLASSNOTREG;
    return seam::scheduler->QueryInterface(riid, ppv);
}

VQAPI SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    return seam::Open(std::string("OpenSCManagerA(") + (machine ? machine : "null") + "," +
                          (database ? database : "null") + "," + std::to_string(access) + ")",
                      seam::control.openManagerError, seam::manager);
}

VQAPI SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    return seam::Open("OpenServiceA(" + seam::Kind(manager) + "," + name + "," + std::to_string(access) + ")",
                      seam::control.openServiceError, seam::service);
}

VQAPI BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    if (!seam::Step("QueryServiceStatus(" + seam::Kind(service) + ")", seam::control.queryError)) return FALSE;
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, seam::control.state, 0, 0, 0, 0, 0};
    return TRUE;
}

// A stopped service moves to start-pending; any other state fails with ERROR_SERVICE_ALREADY_RUNNING.
VQAPI BOOL StartServiceA(SC_HANDLE service, DWORD count, LPCSTR *args) {
    const std::string call =
        "StartServiceA(" + seam::Kind(service) + "," + std::to_string(count) + "," + (args ? "args" : "null") + ")";
    if (!seam::Step(call, seam::control.state != SERVICE_STOPPED ? ERROR_SERVICE_ALREADY_RUNNING : 0)) return FALSE;
    seam::control.state = SERVICE_START_PENDING;
    return TRUE;
}

VQAPI BOOL CloseServiceHandle(SC_HANDLE handle) {
    seam::Step("CloseServiceHandle(" + seam::Kind(handle) + ")", seam::control.closeSetsError);
    --seam::control.openHandles;
    return TRUE;
}

namespace {

const Calls kRunningCalls = {"OpenSCManagerA(null,null,1)", "OpenServiceA(manager,Schedule,20)",
                             "CloseServiceHandle(manager)", "QueryServiceStatus(service)",
                             "CloseServiceHandle(service)"};

// Each row scripts the Service Control Manager; StartScheduler answers a
// code, makes these calls and sends an exit line only when it started the
// service. A code is read after the handles are closed.
TEST(ServiceStart, EachStateAndFailingStep) {
    const Calls &run = kRunningCalls, refused(run.begin(), run.begin() + 3);
    Calls started = run;
    started.insert(started.end() - 1, "StartServiceA(service,0,null)");
    struct Row {
        const char *what;
        DWORD state, managerError, serviceError, queryError, closeError;
        LONG code;
        Calls calls;
        bool exits;
    };
    constexpr DWORD kRun = SERVICE_RUNNING, kStopped = SERVICE_STOPPED, kDenied = ERROR_ACCESS_DENIED,
                    kBad = ERROR_INVALID_HANDLE;
    // clang-format off
    const Row rows[] = {
        {"running", kRun, 0, 0, 0, 0, 0, run, false},
        {"stopped: started", kStopped, 0, 0, 0, 0, 0, started, true},
        {"start pending: the start fails", SERVICE_START_PENDING, 0, 0, 0, 0, ERROR_SERVICE_ALREADY_RUNNING, started,
         false},
        {"no manager", kRun, kDenied, 0, 0, 0, kDenied, {run[0]}, false},
        {"no start right", kStopped, 0, kDenied, 0, 0, kDenied, refused, false},
        {"query fails", kRun, 0, 0, kBad, 0, kBad, run, false},
        {"code read after closing", kRun, 0, kDenied, 0, 1234, 1234, refused, false},
        {"code read after closing", kRun, 0, 0, kBad, 4321, 4321, run, false},
    };
    // clang-format on
    EnsureThreadStarted();
    test_trace::Viewer viewer;
    ASSERT_TRUE(viewer.open());
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        seam::control = {r.state, r.managerError, r.serviceError, r.queryError, r.closeError, {}, 0};
        LONG code = -1;
        const Calls lines = viewer.Markers([&] { code = StartScheduler(); }, {"Scheduler"});
        EXPECT_EQ(code, r.code);
        EXPECT_EQ(seam::control.calls, r.calls);
        EXPECT_EQ(seam::control.openHandles, 0) << "a handle was left open";
        Calls expected = {"-> Scheduler : Function StartScheduler"};
        if (r.exits) expected.push_back("<- Scheduler : Function StartScheduler");
        EXPECT_EQ(lines, expected);
    }
}

class SchedulerTest : public fake::ServiceTest {
protected:
    void SetUp() override {
        seam::control = {};
        service->names = {u"Backup.job", u"Report.job"};
        seam::scheduler = service.get();
        ServiceTest::SetUp();
    }
    void TearDown() override {
        seam::scheduler = nullptr;
        ServiceTest::TearDown();
    }
    static ComRef<_Tasks> TasksOf(_Scheduler *s) {
        ComRef<_Tasks> t;
        EXPECT_EQ(s->get_Tasks(t.Out()), S_OK);
        return t;
    }
};

// Creation loads the tasks without the service check; the Tasks read checks
// the service until one check succeeds; a failing creation creates nothing.
TEST_F(SchedulerTest, CreationTheTasksReadWithItsServiceCheckAndComputer) {
    ComRef<_Scheduler> s;
    ASSERT_EQ(CreateScheduler(TaskScheduler::IID__Scheduler, reinterpret_cast<void **>(s.Out())), S_OK);
    EXPECT_EQ(service->journal.Of("Enum").size(), 1u);
    EXPECT_TRUE(seam::control.calls.empty()) << "the load at creation does not depend on the service check";
    seam::control.state = SERVICE_START_PENDING;
    _Tasks *none = reinterpret_cast<_Tasks *>(1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(s->get_Tasks(&none), static_cast<HRESULT>(0x80040000));
        EXPECT_EQ(none, nullptr);
    }
    EXPECT_EQ(fake::TakeErrorInfo(), fake::Raised(u"Scheduler service is not running and will not start"));
    seam::control.state = SERVICE_RUNNING;
    seam::control.calls.clear();
    ComRef<_Tasks> t = TasksOf(s.get());
    EXPECT_EQ(seam::control.calls, kRunningCalls);
    seam::control.state = SERVICE_STOPPED;
    EXPECT_EQ(TasksOf(s.get()).get(), t.get());
    EXPECT_EQ(seam::control.calls.size(), kRunningCalls.size()) << "the check is never made again";

    // Computer goes to the service and reloads the same collection.
    for (auto [given, sent] : {std::pair<const char16_t *, std::string>{u" Far ", "\" Far \""}, {u"   ", "null"}}) {
        service->names = {u"A.job", u"B.job", u"C.job"};
        service->journal.Clear();
        BSTR value = SysAllocString(given);
        ASSERT_EQ(s->put_Computer(&value), S_OK);
        SysFreeString(value);
        EXPECT_EQ(service->journal.Log().front(), "SetTargetComputer(" + sent + ")");
        EXPECT_EQ(service->journal.Of("Enum").size(), 1u);
        EXPECT_EQ(static_cast<Tasks *>(t.get())->Count(), 3);
        EXPECT_EQ(TasksOf(s.get()).get(), t.get());
        service->names = {u"D.job"};
    }
    service->journal.Clear();
    service->journal.Answer("SetTargetComputer", HRESULT_FROM_WIN32(ERROR_BAD_NETPATH));
    BstrHolder name(u"Elsewhere");
    BSTR value = name.get();
    EXPECT_EQ(s->put_Computer(&value), HRESULT_FROM_WIN32(ERROR_BAD_NETPATH));
    EXPECT_TRUE(service->journal.Of("Enum").empty()) << "a failing target does not reload";

    service->target = u"\\\\SOMEWHERE";
    BSTR got = nullptr;
    ASSERT_EQ(s->get_Computer(&got), S_OK);
    EXPECT_EQ(fake::Take(got), u"\\\\SOMEWHERE");
    s.reset();
    EXPECT_EQ(static_cast<Tasks *>(t.get())->Count(), 3) << "the collection outlives its Scheduler";
    t.reset();

    void *p = reinterpret_cast<void *>(1);
    seam::failNext = E_ACCESSDENIED;
    EXPECT_EQ(CreateScheduler(TaskScheduler::IID__Scheduler, &p), E_ACCESSDENIED);
    EXPECT_EQ(p, nullptr);
    service->journal.Answer("Enum", SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(CreateScheduler(TaskScheduler::IID__Scheduler, &p), SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(p, nullptr);
}

}  // namespace
