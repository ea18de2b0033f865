// Which procedures of the objects send trace lines, seen through a viewer
// window of this process on a private desktop. The line format itself is
// the trace's own tests' business; here only the entry and exit markers with
// module and procedure matter.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "objects_test_support.h"

namespace objects_test {
namespace {

using velqosch::TaskObject;
using velqosch::TriggerObject;

struct Viewer {
    std::mutex lock;
    std::vector<std::string> lines;  // "-> Module : Procedure" or "<- ..."
};

LRESULT Receive(HWND, UINT msg, WPARAM, LPARAM lParam, void *context) {
    if (msg != WM_SETTEXT || !lParam) return 0;
    auto *viewer = static_cast<Viewer *>(context);
    const std::string line = reinterpret_cast<const char *>(lParam);
    for (const char *marker : {"] ->", "] <-"}) {
        const std::size_t at = line.find(marker);
        if (at == std::string::npos) continue;
        std::string rest = line.substr(at + 4);
        rest.erase(0, rest.find_first_not_of('\t'));
        rest = rest.substr(0, rest.rfind(" : "));  // drop the empty third text and CR LF
        std::lock_guard<std::mutex> hold(viewer->lock);
        viewer->lines.push_back(std::string(marker + 2) + " " + rest);
    }
    return 0;
}

class ObjectTraceTest : public ObjectsTest {
protected:
    void SetUp() override {
        ObjectsTest::SetUp();
        desktop_ = std::filesystem::temp_directory_path() / ("velqosch-desktop-" + std::to_string(::getpid()));
        std::filesystem::create_directories(desktop_);
        ::chmod(desktop_.c_str(), 0700);
        if (const char *old = std::getenv("XDG_RUNTIME_DIR")) oldRuntimeDir_ = old;
        ::setenv("XDG_RUNTIME_DIR", desktop_.c_str(), 1);
        window_ = VelqoCreateWindow("SnagtrapViewer", "Orvell Snagtrap", Receive, &viewer_);
    }
    void TearDown() override {
        if (window_) VelqoDestroyWindow(window_);
        if (oldRuntimeDir_.empty()) ::unsetenv("XDG_RUNTIME_DIR");
        else ::setenv("XDG_RUNTIME_DIR", oldRuntimeDir_.c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(desktop_, ignored);
        ObjectsTest::TearDown();
    }
    // Runs body on a thread of its own, whose first trace call finds the
    // viewer, and returns the lines of the Task and Trigger modules.
    template <class F>
    std::vector<std::string> Traced(F body) {
        std::thread([&] { body(); }).join();
        std::lock_guard<std::mutex> hold(viewer_.lock);
        std::vector<std::string> mine;
        for (const std::string &l : viewer_.lines)
            if (l.find(" Task : ") != std::string::npos || l.find(" Trigger : ") != std::string::npos)
                mine.push_back(l);
        return mine;
    }

    Viewer viewer_;
    HWND window_ = nullptr;
    std::filesystem::path desktop_;
    std::string oldRuntimeDir_;
};

TEST_F(ObjectTraceTest, TracedUntracedAndErrorExits) {
    ASSERT_NE(window_, nullptr);
    item->AddStoredTrigger(fake::Record(TASK_TIME_TRIGGER_WEEKLY));
    journal.Answer("T0.SetTrigger", E_ACCESSDENIED);
    const std::vector<std::string> lines = Traced([&] {
        ComRef<TriggerObject> t = TriggerObject::Create();
        t->SetITaskTrigger(item->triggers[0].get());
        VARIANT_BOOL dirty = 0;
        t->get_IsDirty(&dirty);
        t->put_DaysInterval(1);  // untraced, and refused
        t->Update();             // fails: entry line only
    });
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "-> Trigger : Sub Class_Initialize", "<- Trigger : Sub Class_Initialize",
                         "-> Trigger : Property (Set) ITaskTrigger", "<- Trigger : Property (Set) ITaskTrigger",
                         "-> Trigger : Property (Get) IsDirty", "<- Trigger : Property (Get) IsDirty",
                         "-> Trigger : Sub Update"}));
}

TEST_F(ObjectTraceTest, EmptyWorkItemDataLeavesWithoutExitLineAndApplicationNameIsUntraced) {
    ASSERT_NE(window_, nullptr);
    const std::vector<std::string> lines = Traced([&] {
        ComRef<TaskObject> task = BoundTask();
        SAFEARRAY *none = nullptr;
        task->put_WorkItemData(&none);
        velqosch::BstrHolder app(u"/bin/true");
        task->put_ApplicationName(app.get());
        task->put_flags(1);
    });
    EXPECT_EQ(lines, (std::vector<std::string>{"-> Task : Sub Class_Initialize", "<- Task : Sub Class_Initialize",
                                               "-> Task : Property (Set) ITask", "<- Task : Property (Set) ITask",
                                               "-> Task : Property (Let) WorkItemData",
                                               "-> Task : Property (Let) flags", "<- Task : Property (Let) flags"}));
}

}  // namespace
}  // namespace objects_test
