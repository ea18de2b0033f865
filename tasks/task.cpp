#include "tasks/task.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "globals/globals.h"
#include "globals/strings.h"
#include "trace/error.h"
#include "trace/trace.h"

namespace velqosch {

namespace {

constexpr std::string_view kModule = "Task";
// The most run times asked for in one GetRunTimes call.
constexpr WORD kRunTimesPerCall = 50;

[[noreturn]] void RaiseNotSet() { Raise(91, kProductName, u"Object variable or With block variable not set"); }

// Frees a buffer that the service allocated, however the member ends.
struct ServiceBuffer {
    void *p = nullptr;
    ServiceBuffer() = default;
    ServiceBuffer(const ServiceBuffer &) = delete;
    ServiceBuffer &operator=(const ServiceBuffer &) = delete;
    ~ServiceBuffer() { CoTaskMemFree(p); }
};

// Holds a safe array locked for the length of a scope.
class ArrayLock {
public:
    explicit ArrayLock(SAFEARRAY *array) : array_(array) { Check(SafeArrayLock(array_)); }
    ~ArrayLock() { SafeArrayUnlock(array_); }
    ArrayLock(const ArrayLock &) = delete;
    ArrayLock &operator=(const ArrayLock &) = delete;

private:
    SAFEARRAY *array_;
};

// Owns a safe array until it is handed on.
struct ArrayHolder {
    SAFEARRAY *p = nullptr;
    ArrayHolder() = default;
    ArrayHolder(const ArrayHolder &) = delete;
    ArrayHolder &operator=(const ArrayHolder &) = delete;
    ~ArrayHolder() {
        if (p) SafeArrayDestroy(p);
    }
    SAFEARRAY *release() noexcept { return std::exchange(p, nullptr); }
};

// The element type of an array, as far as it can be told.
bool HasElementType(SAFEARRAY *array, VARTYPE wanted, VARTYPE alsoWanted, ULONG size) {
    VARTYPE vt = VT_EMPTY;
    if (SUCCEEDED(SafeArrayGetVartype(array, &vt)) && vt != VT_EMPTY) return vt == wanted || vt == alsoWanted;
    constexpr USHORT kTyped = FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT | FADF_RECORD;
    return array->cbElements == size && (array->fFeatures & kTyped) == 0;
}

bool IsZero(const SYSTEMTIME &st) {
    return st.wYear == 0 && st.wMonth == 0 && st.wDayOfWeek == 0 && st.wDay == 0 && st.wHour == 0 && st.wMinute == 0 &&
           st.wSecond == 0 && st.wMilliseconds == 0;
}

// A service time as a Date; the all-zero record stands for no time (Date 0).
DATE DateOfRecord(SYSTEMTIME st) {
    if (IsZero(st)) return 0;
    DOUBLE date = 0;
    SystemTimeToVariantTime(&st, &date);
    return date;
}

SYSTEMTIME RecordOfDate(DATE date) {
    SYSTEMTIME st{};
    VariantTimeToSystemTime(date, &st);
    return st;
}

bool EndsInJob(const std::u16string &name) {
    static constexpr char16_t kSuffix[] = u".job";
    if (name.size() < 4) return false;
    const std::size_t start = name.size() - 4;
    for (std::size_t i = 0; i < 4; ++i) {
        char16_t c = name[start + i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
        if (c != kSuffix[i]) return false;
    }
    return true;
}

}  // namespace

// ---- Creation, binding and end ------------------------------------------------------------------------------------

ComRef<TaskObject> TaskObject::Create() {
    EnsureThreadStarted();
    TraceScope trace(kModule, "Sub Class_Initialize");
    ComRef<TaskObject> task = ComRef<TaskObject>::Adopt(new TaskObject());
    task->triggers_ = TriggersObject::Create();
    return task;
}

ComRef<TaskScheduler::_Task> TaskObject::CreateTask() {
    ComRef<TaskObject> task = Create();
    return ComRef<TaskScheduler::_Task>::Adopt(task.Detach());
}

void TaskObject::BindTask(TaskScheduler::_Task *task, ITask *item) {
    if (!task) RaiseNotSet();
    static_cast<TaskObject *>(task)->SetITask(item);
}

void TaskObject::NameTask(TaskScheduler::_Task *task, std::u16string name) {
    if (!task) RaiseNotSet();
    static_cast<TaskObject *>(task)->PutTaskName(std::move(name));
}

TaskObject::TaskObject() = default;

TaskObject::~TaskObject() {
    if (triggers_) triggers_->ReleaseTriggers();
}

bool TaskObject::IsOwnInterface(REFIID riid) noexcept { return IsEqualIID(riid, TaskScheduler::IID__Task); }

namespace {
// The item's IScheduledWorkItem, with a reference of its own. ITask derives
// from it, and a service whose QueryInterface does not answer the base
// interface's identifier (Wine's) is served by the ITask itself.
ComRef<IScheduledWorkItem> WorkItemOf(ITask &task) {
    IScheduledWorkItem *raw = nullptr;
    const HRESULT hr = task.QueryInterface(IID_IScheduledWorkItem, reinterpret_cast<void **>(&raw));
    if (hr == E_NOINTERFACE) return ComRef<IScheduledWorkItem>::Share(&task);
    Check(hr);
    ComRef<IScheduledWorkItem> item = ComRef<IScheduledWorkItem>::Adopt(raw);
    if (!item) RaiseHResult(E_NOINTERFACE);
    return item;
}
}  // namespace

void TaskObject::SetITask(ITask *task) {
    TraceScope trace(kModule, "Property (Set) ITask");
    task_ = ComRef<ITask>::Share(task);
    if (!task_) RaiseNotSet();
    workItem_ = WorkItemOf(*task_.get());
    ComRef<IScheduledWorkItem> forTriggers = WorkItemOf(*task_.get());
    triggers_->SetIScheduledWorkItem(forTriggers.get());
}

ITask &TaskObject::Item() const {
    if (!task_) RaiseNotSet();
    return *task_.get();
}

IScheduledWorkItem &TaskObject::WorkItem() const {
    if (!workItem_) RaiseNotSet();
    return *workItem_.get();
}

std::u16string TaskObject::FromBstrRef(BSTR *value) { return FromBstr(Ref(value)); }
BSTR TaskObject::Bstr(const std::u16string &text) { return ToBstr(text); }

// ---- Object members -----------------------------------------------------------------------------------------------

ComRef<TriggersObject> TaskObject::Triggers() {
    TraceScope trace(kModule, "Property (Get) Triggers");
    return triggers_;
}

void TaskObject::EditItem() {
    TraceScope trace(kModule, "Sub Edit");
    Check(WorkItem().EditWorkItem(nullptr, 0));
}

void TaskObject::PutTaskName(std::u16string name) {
    TraceScope trace(kModule, "Property (Let) TaskName");
    taskName_ = std::move(name);
}

std::u16string TaskObject::TaskName() {
    TraceScope trace(kModule, "Property (Get) TaskName");
    return taskName_;
}

void TaskObject::SaveItem() {
    TraceScope trace(kModule, "Sub Save");
    IPersistFile *raw = nullptr;
    Check(Item().QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&raw)));
    ComRef<IPersistFile> file = ComRef<IPersistFile>::Adopt(raw);
    if (!file) RaiseHResult(E_NOINTERFACE);
    Check(file->Save(nullptr, FALSE));
    Check(file->SaveCompleted(reinterpret_cast<LPCOLESTR>(u"0")));
}

void TaskObject::SaveItemAs(BSTR &taskName) {
    TraceScope trace(kModule, "Sub SaveAs");
    IPersistFile *raw = nullptr;
    Check(Item().QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&raw)));
    ComRef<IPersistFile> file = ComRef<IPersistFile>::Adopt(raw);
    if (!file) RaiseHResult(E_NOINTERFACE);
    std::u16string name = FromBstr(taskName);
    if (!EndsInJob(name)) {
        name += u".job";
        BSTR extended = ToBstr(name);
        SysFreeString(taskName);
        taskName = extended;
    }
    std::u16string path = Globals().WindowsDirectory;
    path += u"Tasks";
    path += static_cast<char16_t>(kPathSeparator);
    path += name;
    Check(file->Save(Wide(path), FALSE));
    Check(file->SaveCompleted(Wide(path)));
}

// ---- Settings -----------------------------------------------------------------------------------------------------

void TaskObject::SendIdleWait() {
    Check(WorkItem().SetIdleWait(static_cast<WORD>(idleMinutes_), static_cast<WORD>(deadlineMinutes_)));
}

void TaskObject::PutIdleWaitDeadlineMinutes(SHORT value) {
    TraceScope trace(kModule, "Property (Let) IdleWaitDeadlineMinutes");
    deadlineMinutes_ = value;
    SendIdleWait();
}

SHORT TaskObject::IdleWaitDeadlineMinutes() {
    TraceScope trace(kModule, "Property (Get) IdleWaitDeadlineMinutes");
    WORD idle = static_cast<WORD>(idleMinutes_), deadline = static_cast<WORD>(deadlineMinutes_);
    const HRESULT hr = WorkItem().GetIdleWait(&idle, &deadline);
    idleMinutes_ = static_cast<SHORT>(idle);
    deadlineMinutes_ = static_cast<SHORT>(deadline);
    Check(hr);
    return deadlineMinutes_;
}

void TaskObject::PutIdleWaitMinutes(SHORT value) {
    TraceScope trace(kModule, "Property (Let) IdleWaitMinutes");
    idleMinutes_ = value;
    SendIdleWait();
}

SHORT TaskObject::IdleWaitMinutes() {
    TraceScope trace(kModule, "Property (Get) IdleWaitMinutes");
    WORD idle = static_cast<WORD>(idleMinutes_), deadline = static_cast<WORD>(deadlineMinutes_);
    const HRESULT hr = WorkItem().GetIdleWait(&idle, &deadline);
    idleMinutes_ = static_cast<SHORT>(idle);
    deadlineMinutes_ = static_cast<SHORT>(deadline);
    Check(hr);
    return idleMinutes_;
}

void TaskObject::PutAccountName(const std::u16string &value) {
    TraceScope trace(kModule, "Property (Let) AccountName");
    accountName_ = value;
    if (accountName_.empty()) {
        Check(WorkItem().SetAccountInformation(reinterpret_cast<LPCWSTR>(u""), nullptr));
    } else if (!password_.empty()) {
        Check(WorkItem().SetAccountInformation(Wide(accountName_), Wide(password_)));
    } else {
        Check(WorkItem().SetAccountInformation(Wide(accountName_), nullptr));
    }
}

std::u16string TaskObject::AccountName() {
    TraceScope trace(kModule, "Property (Get) AccountName");
    LPWSTR text = nullptr;
    Check(WorkItem().GetAccountInformation(&text));
    return StringFromLongPtr(text);
}

void TaskObject::PutPassword(const std::u16string &value) {
    TraceScope trace(kModule, "Property (Let) Password");
    password_ = value;
    if (!accountName_.empty()) Check(WorkItem().SetAccountInformation(Wide(accountName_), Wide(password_)));
}

void TaskObject::PutErrorRetryInterval(SHORT) { TraceScope trace(kModule, "Property (Let) ErrorRetryInterval"); }

SHORT TaskObject::ErrorRetryInterval() {
    TraceScope trace(kModule, "Property (Get) ErrorRetryInterval");
    return 0;
}

void TaskObject::PutErrorRetryCount(SHORT) { TraceScope trace(kModule, "Property (Let) ErrorRetryCount"); }

SHORT TaskObject::ErrorRetryCount() {
    TraceScope trace(kModule, "Property (Get) ErrorRetryCount");
    return 0;
}

void TaskObject::PutComment(const std::u16string &value) {
    TraceScope trace(kModule, "Property (Let) Comment");
    Check(WorkItem().SetComment(Wide(value)));
}

std::u16string TaskObject::Comment() {
    TraceScope trace(kModule, "Property (Get) Comment");
    LPWSTR text = nullptr;
    Check(WorkItem().GetComment(&text));
    return StringFromLongPtr(text);
}

void TaskObject::PutCreator(const std::u16string &value) {
    TraceScope trace(kModule, "Property (Let) Creator");
    Check(WorkItem().SetCreator(Wide(value)));
}

std::u16string TaskObject::Creator() {
    TraceScope trace(kModule, "Property (Get) Creator");
    LPWSTR text = nullptr;
    Check(WorkItem().GetCreator(&text));
    return StringFromLongPtr(text);
}

void TaskObject::PutParameters(const std::u16string &value) {
    TraceScope trace(kModule, "Property (Let) Parameters");
    if (value.empty()) return;
    Check(Item().SetParameters(Wide(value)));
}

std::u16string TaskObject::Parameters() {
    TraceScope trace(kModule, "Property (Get) Parameters");
    LPWSTR text = nullptr;
    Check(Item().GetParameters(&text));
    return StringFromLongPtr(text);
}

void TaskObject::PutApplicationName(const std::u16string &value) {
    if (value.empty()) Raise(kErrInvalidCall, kProductName, u"Application name must not be empty", kHelpFile, 9999);
    Check(Item().SetApplicationName(Wide(value)));
}

std::u16string TaskObject::ApplicationName() {
    TraceScope trace(kModule, "Property (Get) ApplicationName");
    LPWSTR text = nullptr;
    Check(Item().GetApplicationName(&text));
    return StringFromLongPtr(text);
}

void TaskObject::PutMaxRunTime(LONG value) {
    TraceScope trace(kModule, "Property (Let) MaxRunTime");
    Check(Item().SetMaxRunTime(static_cast<DWORD>(value)));
}

LONG TaskObject::MaxRunTime() {
    TraceScope trace(kModule, "Property (Get) MaxRunTime");
    DWORD value = 0;
    Check(Item().GetMaxRunTime(&value));
    return static_cast<LONG>(value);
}

void TaskObject::PutPriority(LONG value) {
    TraceScope trace(kModule, "Property (Let) Priority");
    Check(Item().SetPriority(static_cast<DWORD>(value)));
}

LONG TaskObject::Priority() {
    TraceScope trace(kModule, "Property (Get) Priority");
    DWORD value = 0;
    Check(Item().GetPriority(&value));
    return static_cast<LONG>(value);
}

void TaskObject::PutWorkingDirectory(const std::u16string &value) {
    TraceScope trace(kModule, "Property (Let) WorkingDirectory");
    Check(Item().SetWorkingDirectory(Wide(value)));
}

std::u16string TaskObject::WorkingDirectory() {
    TraceScope trace(kModule, "Property (Get) WorkingDirectory");
    LPWSTR text = nullptr;
    Check(Item().GetWorkingDirectory(&text));
    return StringFromLongPtr(text);
}

void TaskObject::PutFlags(LONG value) {
    TraceScope trace(kModule, "Property (Let) flags");
    Check(WorkItem().SetFlags(static_cast<DWORD>(value)));
}

LONG TaskObject::Flags() {
    TraceScope trace(kModule, "Property (Get) flags");
    DWORD value = 0;
    Check(WorkItem().GetFlags(&value));
    return static_cast<LONG>(value);
}

// ---- Run times and status -----------------------------------------------------------------------------------------

LONG TaskObject::RunTimes(DATE beginDate, DATE endDate, SAFEARRAY *&taskTimes) {
    TraceScope trace(kModule, "Function GetRunTimes");
    SYSTEMTIME begin = RecordOfDate(beginDate);
    SYSTEMTIME end = RecordOfDate(endDate);
    WORD count = kRunTimesPerCall;
    ServiceBuffer buffer;
    LPSYSTEMTIME times = nullptr;
    const HRESULT hr = WorkItem().GetRunTimes(&begin, &end, &count, &times);
    buffer.p = times;
    const SHORT delivered = times ? static_cast<SHORT>(count) : SHORT{0};
    const bool succeeded = hr == S_OK || hr == S_FALSE;
    if (succeeded && delivered >= 1) {
        std::vector<SYSTEMTIME> records(static_cast<std::size_t>(delivered));
        std::memcpy(records.data(), times, records.size() * sizeof(SYSTEMTIME));
        // The caller's array is replaced only once the new one is complete.
        if (taskTimes) {
            if (taskTimes->cLocks != 0 || (taskTimes->fFeatures & (FADF_FIXEDSIZE | FADF_STATIC | FADF_EMBEDDED)))
                RaiseHResult(DISP_E_ARRAYISLOCKED);
            if (!HasElementType(taskTimes, VT_DATE, VT_DATE, sizeof(DATE))) RaiseStandard(kErrTypeMismatch);
        }
        ArrayHolder fresh;
        fresh.p = SafeArrayCreateVector(VT_DATE, 0, static_cast<ULONG>(delivered));
        if (!fresh.p) throw std::bad_alloc();
        auto *dates = static_cast<DATE *>(fresh.p->pvData);
        for (std::size_t k = 0; k < records.size(); ++k) {
            DOUBLE date = 0;
            SystemTimeToVariantTime(&records[k], &date);
            dates[k] = date;
        }
        if (taskTimes) Check(SafeArrayDestroy(taskTimes));
        taskTimes = fresh.release();
    }
    if (FAILED(hr)) return 0;
    if (succeeded) return delivered >= 1 ? delivered : 0;
    if (hr == SCHED_S_EVENT_TRIGGER) return SCHED_S_EVENT_TRIGGER;
    return 0;
}

DATE TaskObject::NextRunTime() {
    TraceScope trace(kModule, "Property (Get) NextRunTime");
    SYSTEMTIME st{};
    Check(WorkItem().GetNextRunTime(&st));
    return DateOfRecord(st);
}

DATE TaskObject::MostRecentRuntime() {
    TraceScope trace(kModule, "Property (Get) MostRecentRuntime");
    SYSTEMTIME st{};
    WorkItem().GetMostRecentRunTime(&st);
    return DateOfRecord(st);
}

LONG TaskObject::Status() {
    TraceScope trace(kModule, "Property (Get) Status");
    HRESULT status = 0;
    Check(WorkItem().GetStatus(&status));
    return status;
}

LONG TaskObject::ExitCode() {
    TraceScope trace(kModule, "Property (Get) ExitCode");
    DWORD code = 0;
    WorkItem().GetExitCode(&code);
    return static_cast<LONG>(code);
}

// ---- Work item data -----------------------------------------------------------------------------------------------

void TaskObject::PutWorkItemData(SAFEARRAY *data) {
    TraceScope trace(kModule, "Property (Let) WorkItemData");
    try {
        // An array without elements has no bounds to read: error 9.
        if (!data || data->cDims != 1 || data->rgsabound[0].cElements == 0) RaiseStandard(kErrSubscript);
        if (!HasElementType(data, VT_UI1, VT_I1, 1)) RaiseStandard(kErrTypeMismatch);
        const int64_t lower = data->rgsabound[0].lLbound;
        const int64_t upper = lower + data->rgsabound[0].cElements - 1;
        const SHORT count = CheckedI2(upper - lower + 1);
        ArrayLock lock(data);
        if (!data->pvData) RaiseStandard(kErrSubscript);
        Check(WorkItem().SetWorkItemData(static_cast<WORD>(count), static_cast<BYTE *>(data->pvData)));
    } catch (const ComponentError &e) {
        if (e.record().number != kErrSubscript) throw;
        trace.Skip();
    }
}

SAFEARRAY *TaskObject::WorkItemData() {
    TraceScope trace(kModule, "Property (Get) WorkItemData");
    WORD size = 0;
    BYTE *bytes = nullptr;
    ServiceBuffer buffer;
    const HRESULT hr = WorkItem().GetWorkItemData(&size, &bytes);
    buffer.p = bytes;
    Check(hr);
    const SHORT count = static_cast<SHORT>(size);
    // No data, or a count beyond the 16-bit range: an array without elements.
    if (count <= 0 || !bytes) return nullptr;
    ArrayHolder array;
    array.p = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count));
    if (!array.p) throw std::bad_alloc();
    std::memcpy(array.p->pvData, bytes, static_cast<std::size_t>(count));
    return array.release();
}

}  // namespace velqosch
