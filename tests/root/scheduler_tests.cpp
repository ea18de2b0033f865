// Scheduler and its service start: creation and the first load, Computer,
// the Tasks read with its service check, StartScheduler on both paths with
// its traced exits.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "globals/globals.h"
#include "globals/strings.h"
#include "root/fakes.h"
#include "root/service_seam.h"
#include "scheduler/scheduler.h"
#include "scheduler/service_start.h"
#include "trace/error.h"

using namespace velqosch;
using fakes::FakeScheduler;
using fakes::FakeTask;
using fakes::RefCount;
using TaskScheduler::_Scheduler;
using TaskScheduler::_Tasks;

namespace {

constexpr HRESULT kServiceNotRunning = static_cast<HRESULT>(0x80040000);

// A private desktop and search path for the test, restored afterwards.
class Environment {
public:
    Environment() {
        char tmpl[] = "/tmp/velqosch-root-XXXXXX";
        dir_ = mkdtemp(tmpl);
        Save("XDG_RUNTIME_DIR");
        Save("PATH");
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
        mkdir((dir_ + "/bin").c_str(), 0700);
        setenv("PATH", (dir_ + "/bin").c_str(), 1);
    }
    ~Environment() {
        for (auto &[name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
    }
    // An agent program on the search path.
    void InstallAgent() {
        const std::string path = dir_ + "/bin/mstask.exe";
        std::ofstream(path) << "#!/bin/sh\nexit 0\n";
        chmod(path.c_str(), 0700);
    }

private:
    void Save(const char *name) {
        const char *v = std::getenv(name);
        saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }
    std::string dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

LRESULT Ignore(HWND, UINT, WPARAM, LPARAM, void *) { return 0; }

// A window of this process for the length of a scope.
struct Window {
    Window(const char *cls, const char *title, VELQO_WNDPROC proc = Ignore, void *context = nullptr)
        : h(VelqoCreateWindow(cls, title, proc, context)) {}
    ~Window() {
        if (h) VelqoDestroyWindow(h);
    }
    HWND h;
};

// The trace lines a viewer receives.
struct Viewer {
    static LRESULT Receive(HWND, UINT msg, WPARAM, LPARAM text, void *self) {
        if (msg != WM_SETTEXT) return 0;
        auto *v = static_cast<Viewer *>(self);
        std::lock_guard lock(v->mutex);
        v->lines.emplace_back(reinterpret_cast<const char *>(text));
        return 1;
    }
    int Count(const std::string &marker) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const auto &l : lines)
            if (l.find(marker) != std::string::npos) ++n;
        return n;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

const std::vector<std::string> kRunningCalls = {
    "OpenSCManagerA(null,null,1)", "OpenServiceA(manager,Schedule,20)", "CloseServiceHandle(manager)",
    "QueryServiceStatus(service)", "CloseServiceHandle(service)"};

class ServiceStart : public ::testing::Test {
protected:
    void SetUp() override { seam::ResetControl(); }
    void TearDown() override {
        VelqoSetVersionPlatformId(0);
        EXPECT_EQ(seam::Control().openHandles, 0) << "a handle was left open";
    }
    Environment env;
};

// ---- StartScheduler, service path ---------------------------------------------------------------------------

TEST_F(ServiceStart, RunningServiceIsNotAskedToStart) {
    EXPECT_EQ(StartScheduler(), 0);
    EXPECT_EQ(seam::Control().calls, kRunningCalls);
}

TEST_F(ServiceStart, StoppedServiceIsStartedWithoutWaiting) {
    seam::Control().state = SERVICE_STOPPED;
    EXPECT_EQ(StartScheduler(), 0);
    std::vector<std::string> expected = kRunningCalls;
    expected.insert(expected.end() - 1, "StartServiceA(service,0,null)");
    EXPECT_EQ(seam::Control().calls, expected);
    EXPECT_EQ(seam::Control().state, static_cast<DWORD>(SERVICE_START_PENDING));
}

TEST_F(ServiceStart, StartPendingServiceGivesTheStartRequestsError) {
    seam::Control().state = SERVICE_START_PENDING;
    EXPECT_EQ(StartScheduler(), ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(seam::Control().starts, 0);
}

TEST_F(ServiceStart, EachFailingStepReturnsItsCode) {
    seam::Control().openManagerError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(StartScheduler(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(seam::Control().calls.size(), 1u);

    seam::ResetControl();
    seam::Control().queryError = ERROR_INVALID_HANDLE;
    EXPECT_EQ(StartScheduler(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(seam::Control().calls.back(), "CloseServiceHandle(service)");

    seam::ResetControl();
    seam::Control().state = SERVICE_STOPPED;
    seam::Control().startError = ERROR_SERVICE_DISABLED;
    EXPECT_EQ(StartScheduler(), ERROR_SERVICE_DISABLED);
    EXPECT_EQ(seam::Control().calls.back(), "CloseServiceHandle(service)");
}

TEST_F(ServiceStart, RefusedStartRightFailsWhetherOrNotTheServiceRuns) {
    for (DWORD state : {DWORD{SERVICE_RUNNING}, DWORD{SERVICE_STOPPED}}) {
        seam::ResetControl();
        seam::Control().state = state;
        seam::Control().openServiceError = ERROR_ACCESS_DENIED;
        EXPECT_EQ(StartScheduler(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(seam::Control().calls,
                  (std::vector<std::string>{"OpenSCManagerA(null,null,1)", "OpenServiceA(manager,Schedule,20)",
                                            "CloseServiceHandle(manager)"}));
    }
}

TEST_F(ServiceStart, CodeIsReadAfterTheHandlesAreClosed) {
    seam::Control().openServiceError = ERROR_ACCESS_DENIED;
    seam::Control().closeSetsError = 1234;
    EXPECT_EQ(StartScheduler(), 1234);
    seam::ResetControl();
    seam::Control().queryError = ERROR_INVALID_HANDLE;
    seam::Control().closeSetsError = 4321;
    EXPECT_EQ(StartScheduler(), 4321);
}

// ---- StartScheduler, agent path -----------------------------------------------------------------------------

TEST_F(ServiceStart, AgentWindowMeansRunning) {
    VelqoSetVersionPlatformId(VER_PLATFORM_WIN32_WINDOWS);
    Window agent("SAGEWINDOWCLASS", "SYSTEM AGENT COM WINDOW");
    ASSERT_NE(agent.h, nullptr);
    // No agent program on the path: a search would fail.
    EXPECT_EQ(StartScheduler(), 0);
    EXPECT_TRUE(seam::Control().calls.empty());
}

TEST_F(ServiceStart, AgentIsStartedFromTheSearchPath) {
    VelqoSetVersionPlatformId(VER_PLATFORM_WIN32_WINDOWS);
    EXPECT_NE(StartScheduler(), 0);  // not on the path
    env.InstallAgent();
    EXPECT_EQ(StartScheduler(), 0);
    // A window of another class or title is not the agent's.
    Window other("SAGEWINDOWCLASS", "SYSTEM AGENT");
    EXPECT_EQ(StartScheduler(), 0);
    EXPECT_TRUE(seam::Control().calls.empty());
}

// ---- StartScheduler, traced exits ---------------------------------------------------------------------------

// Runs StartScheduler on a thread of its own (the trace starts per thread)
// with a viewer open, and tells how many entry and exit lines it sent.
std::pair<int, int> TracedRun() {
    Viewer viewer;
    Window window("SnagtrapViewer", "Orvell Snagtrap", Viewer::Receive, &viewer);
    EXPECT_NE(window.h, nullptr);
    std::thread([] { StartScheduler(); }).join();
    return {viewer.Count("->Scheduler : Function StartScheduler"), viewer.Count("<-Scheduler : Function StartScheduler")};
}

TEST_F(ServiceStart, OnlyAStartSendsTheExitLine) {
    EXPECT_EQ(TracedRun(), std::make_pair(1, 0)) << "running service";
    seam::Control().state = SERVICE_STOPPED;
    EXPECT_EQ(TracedRun(), std::make_pair(1, 1)) << "service started";
    EXPECT_EQ(TracedRun(), std::make_pair(1, 0)) << "start pending";
    VelqoSetVersionPlatformId(VER_PLATFORM_WIN32_WINDOWS);
    EXPECT_EQ(TracedRun(), std::make_pair(1, 0)) << "agent missing";
    env.InstallAgent();
    EXPECT_EQ(TracedRun(), std::make_pair(1, 1)) << "agent started";
    Window agent("SAGEWINDOWCLASS", "SYSTEM AGENT COM WINDOW");
    EXPECT_EQ(TracedRun(), std::make_pair(1, 0)) << "agent window found";
}

// ---- Scheduler ----------------------------------------------------------------------------------------------

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureThreadStarted();
        seam::ResetControl();
        service = ComRef<FakeScheduler>::Adopt(new FakeScheduler());
        service->names = {u"Backup.job", u"Report.job"};
        seam::SetSchedulerObject(service.get());
    }
    void TearDown() override {
        seam::SetSchedulerObject(nullptr);
        EXPECT_EQ(FakeTask::live, 0);
        EXPECT_EQ(*service->liveItems, 0);
        EXPECT_EQ(service->refs(), 1u);
    }
    ComRef<_Scheduler> Make() {
        ComRef<_Scheduler> s;
        EXPECT_EQ(CreateScheduler(TaskScheduler::IID__Scheduler, reinterpret_cast<void **>(s.Out())), S_OK);
        return s;
    }
    ComRef<_Tasks> TasksOf(_Scheduler *s) {
        ComRef<_Tasks> t;
        EXPECT_EQ(s->get_Tasks(t.Out()), S_OK);
        return t;
    }
    static LONG CountOf(_Tasks *t) {
        LONG n = -1;
        EXPECT_EQ(t->get_Count(&n), S_OK);
        return n;
    }

    fakes::FakeTaskClass taskClass;
    ComRef<FakeScheduler> service;
};

TEST_F(SchedulerTest, CreationConnectsInProcessAndLoadsTheTasks) {
    ComRef<_Scheduler> s = Make();
    const seam::Creation &c = seam::LastCreation();
    EXPECT_EQ(c.context, static_cast<DWORD>(CLSCTX_INPROC_SERVER));
    EXPECT_FALSE(c.outer);
    EXPECT_TRUE(c.askedForITaskScheduler);
    EXPECT_EQ(service->CallsOf("Enum").size(), 1u);
    EXPECT_EQ(service->refs(), 3u);  // ours, the Scheduler's and the collection's
    // The load at creation does not depend on the service check.
    EXPECT_TRUE(seam::Control().calls.empty());
    ComRef<_Tasks> t = TasksOf(s.get());
    EXPECT_EQ(CountOf(t.get()), 2);
}

TEST_F(SchedulerTest, FailedConnectionOrLoadCreatesNothing) {
    void *p = reinterpret_cast<void *>(0x1);
    seam::FailNextCreation(E_ACCESSDENIED);
    EXPECT_EQ(CreateScheduler(TaskScheduler::IID__Scheduler, &p), E_ACCESSDENIED);
    EXPECT_EQ(p, nullptr);
    service->fail["Enum"] = SCHED_E_SERVICE_NOT_RUNNING;
    EXPECT_EQ(CreateScheduler(TaskScheduler::IID__Scheduler, &p), SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(p, nullptr);
    service->fail.clear();
    EXPECT_EQ(CreateScheduler(IID_ITask, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(CreateScheduler(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(SchedulerTest, ComputerNamesGoToTheServiceAndReloadTheSameCollection) {
    ComRef<_Scheduler> s = Make();
    ComRef<_Tasks> held = TasksOf(s.get());
    struct Case {
        const char16_t *given;
        bool null;
    };
    for (Case c : {Case{u" Far ", false}, Case{u"", true}, Case{u"   ", true}, Case{u"\\\\NEAR", false}}) {
        service->names = {u"A.job", u"B.job", u"C.job"};
        service->calls.clear();
        BstrHolder name(c.given);
        BSTR value = name.get();
        ASSERT_EQ(s->put_Computer(&value), S_OK);
        const auto sets = service->CallsOf("SetTargetComputer");
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0].nullName, c.null);
        if (!c.null) {
            EXPECT_EQ(sets[0].name, c.given);
        }
        EXPECT_EQ(service->CallsOf("Enum").size(), 1u);
        EXPECT_EQ(CountOf(held.get()), 3);
        EXPECT_EQ(TasksOf(s.get()).get(), held.get());
        service->names = {u"D.job"};
    }
    BSTR none = nullptr;
    EXPECT_EQ(s->put_Computer(&none), S_OK);
    EXPECT_TRUE(service->CallsOf("SetTargetComputer").back().nullName);
    EXPECT_EQ(s->put_Computer(nullptr), E_POINTER);
}

TEST_F(SchedulerTest, FailingSetTargetComputerDoesNotReload) {
    ComRef<_Scheduler> s = Make();
    service->calls.clear();
    service->fail["SetTargetComputer"] = HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);
    BstrHolder name(u"Elsewhere");
    BSTR value = name.get();
    EXPECT_EQ(s->put_Computer(&value), HRESULT_FROM_WIN32(ERROR_BAD_NETPATH));
    EXPECT_TRUE(service->CallsOf("Enum").empty());
}

TEST_F(SchedulerTest, ComputerReadsTheServicesText) {
    ComRef<_Scheduler> s = Make();
    service->reportedTarget = u"\\\\SOMEWHERE";
    BSTR got = nullptr;
    ASSERT_EQ(s->get_Computer(&got), S_OK);
    EXPECT_EQ(FromBstr(got), u"\\\\SOMEWHERE");
    SysFreeString(got);
    service->fail["GetTargetComputer"] = E_ACCESSDENIED;
    got = reinterpret_cast<BSTR>(0x1);
    EXPECT_EQ(s->get_Computer(&got), E_ACCESSDENIED);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(s->get_Computer(nullptr), E_POINTER);
}

TEST_F(SchedulerTest, TasksReadChecksTheServiceUntilOnceSuccessful) {
    ComRef<_Scheduler> s = Make();
    auto *scheduler = static_cast<Scheduler *>(s.get());
    seam::Control().state = SERVICE_START_PENDING;
    _Tasks *t = reinterpret_cast<_Tasks *>(0x1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(s->get_Tasks(&t), kServiceNotRunning);
        EXPECT_EQ(t, nullptr);
        EXPECT_FALSE(scheduler->ServiceChecked());
    }
    IErrorInfo *info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BstrHolder source, description, helpFile;
    DWORD context = 7;
    info->GetSource(source.out());
    info->GetDescription(description.out());
    info->GetHelpFile(helpFile.out());
    info->GetHelpContext(&context);
    info->Release();
    EXPECT_EQ(FromBstr(source.get()), u"Velqo Task Scheduler");
    EXPECT_EQ(FromBstr(description.get()), u"Scheduler service is not running and will not start");
    EXPECT_EQ(FromBstr(helpFile.get()), u"");
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(seam::Control().starts, 0);

    // Once the service runs, the check succeeds and is never made again.
    seam::Control().state = SERVICE_RUNNING;
    seam::Control().calls.clear();
    ComRef<_Tasks> first = TasksOf(s.get());
    EXPECT_TRUE(scheduler->ServiceChecked());
    EXPECT_EQ(seam::Control().calls, kRunningCalls);
    seam::Control().state = SERVICE_STOPPED;
    ComRef<_Tasks> second = TasksOf(s.get());
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(seam::Control().calls.size(), kRunningCalls.size());
    EXPECT_EQ(RefCount(first.get()), 3u);  // the Scheduler's and our two
    EXPECT_EQ(s->get_Tasks(nullptr), E_POINTER);
}

TEST_F(SchedulerTest, CollectionOutlivesItsScheduler) {
    ComRef<_Scheduler> s = Make();
    EXPECT_EQ(RefCount(s.get()), 1u);
    ComRef<_Tasks> t = TasksOf(s.get());
    EXPECT_EQ(RefCount(s.get()), 1u);  // a child holds no reference to its Scheduler
    EXPECT_EQ(RefCount(t.get()), 2u);
    s.reset();
    EXPECT_EQ(RefCount(t.get()), 1u);
    EXPECT_EQ(service->refs(), 2u);  // ours and the collection's
    EXPECT_EQ(CountOf(t.get()), 2);
}

TEST_F(SchedulerTest, QueryInterfaceAndErrorSupport) {
    ComRef<_Scheduler> s = Make();
    void *p = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(s->QueryInterface(TaskScheduler::IID__Tasks, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    ComRef<ISupportErrorInfo> support;
    ASSERT_EQ(s->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void **>(support.Out())), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(TaskScheduler::IID__Scheduler), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(TaskScheduler::IID__Tasks), S_FALSE);
    ComRef<IDispatch> dispatch;
    ASSERT_EQ(s->QueryInterface(IID_IDispatch, reinterpret_cast<void **>(dispatch.Out())), S_OK);
    EXPECT_EQ(static_cast<void *>(dispatch.get()), static_cast<void *>(s.get()));
}

}  // namespace
