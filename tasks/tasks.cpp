#include "tasks/tasks.h"

#include <utility>
#include <vector>

#include "globals/globals.h"
#include "globals/strings.h"
#include "tasks/task.h"
#include "trace/error.h"
#include "trace/trace.h"

namespace velqosch {

using TaskScheduler::_Task;

namespace {

constexpr std::string_view kModule = "Tasks";
constexpr ULONG kNamesPerBatch = 5;
constexpr SHORT kListGrowth = 50;

// ---- Arguments ----------------------------------------------------------------------------------------------------

// Empty once leading and trailing spaces are removed.
bool IsBlank(const std::u16string &text) { return text.find_first_not_of(u' ') == std::u16string::npos; }

// Writes text into a by-reference string argument.
void Assign(BSTR *slot, const std::u16string &text) {
    BSTR fresh = ToBstr(text);
    SysFreeString(*slot);
    *slot = fresh;
}

// A name the service enumerated, without a trailing ".job" in any case.
void StripJobSuffix(std::u16string &name) {
    static constexpr char16_t kSuffix[] = u".job";
    if (name.size() < 4) return;
    const std::size_t start = name.size() - 4;
    for (std::size_t i = 0; i < 4; ++i) {
        char16_t c = name[start + i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        if (c != kSuffix[i]) return;
    }
    name.erase(start);
}

// The names array of one Next call: the names not yet taken and the array
// itself are released however the batch ends.
class NameBatch {
public:
    NameBatch(LPWSTR *names, ULONG count) noexcept : names_(names), count_(count) {}
    ~NameBatch() {
        if (!names_) return;
        for (ULONG i = 0; i < count_; ++i) CoTaskMemFree(names_[i]);
        CoTaskMemFree(names_);
    }
    NameBatch(const NameBatch &) = delete;
    NameBatch &operator=(const NameBatch &) = delete;
    ULONG size() const noexcept { return count_; }
    // The k-th name as an owned string; its buffer is released here.
    std::u16string Take(ULONG k) { return StringFromLongPtr(std::exchange(names_[k], nullptr)); }

private:
    LPWSTR *names_;
    ULONG count_;
};

ComRef<ITaskScheduler> &Connected(ComRef<ITaskScheduler> &connection) {
    if (!connection) Raise(91, kProductName, u"Object variable or With block variable not set");
    return connection;
}

}  // namespace

void RaiseFromMember(HRESULT hr) {
    IErrorInfo *raw = nullptr;
    if (GetErrorInfo(0, &raw) != S_OK || !raw) RaiseHResult(hr);
    ComRef<IErrorInfo> info = ComRef<IErrorInfo>::Adopt(raw);
    BstrHolder source, description, helpFile;
    DWORD helpContext = 0;
    info->GetSource(source.out());
    info->GetDescription(description.out());
    info->GetHelpFile(helpFile.out());
    info->GetHelpContext(&helpContext);
    Raise(NumberFromHResult(hr), FromBstr(source.get()), FromBstr(description.get()), FromBstr(helpFile.get()),
          helpContext);
}

// ---- Object -------------------------------------------------------------------------------------------------------

ComRef<Tasks> Tasks::Create() {
    EnsureThreadStarted();
    return ComRef<Tasks>::Adopt(new Tasks());
}

Tasks::Tasks() { TraceScope trace(kModule, "Sub Class_Initialize"); }

Tasks::~Tasks() {
    TraceScope trace(kModule, "Sub Class_Terminate");
    collection_.Clear();
}

// ---- Published members ----------------------------------------------------------------------------------------

HRESULT Tasks::Add(BSTR *Name, _Task **ret) noexcept {
    return GuardResult(ret, [&] { return AddTask(Name); });
}
HRESULT Tasks::get_Item(VARIANT *vntIndexKey, _Task **ret) noexcept {
    return GuardResult(ret, [&] { return Item(vntIndexKey); });
}
HRESULT Tasks::get_Count(LONG *ret) noexcept {
    return GuardResult(ret, [&] { return Count(); });
}
HRESULT Tasks::Remove(VARIANT *vntIndexKey) noexcept {
    return Guard([&] { RemoveTask(vntIndexKey); });
}
HRESULT Tasks::get_NewEnum(IUnknown **ret) noexcept {
    return GuardResult(ret, [&] { return NewEnum(); });
}
HRESULT Tasks::Clone(BSTR *ExistingTaskName, BSTR *NewTaskName, _Task **ret) noexcept {
    return GuardResult(ret, [&] { return CloneTask(ExistingTaskName, NewTaskName); });
}
HRESULT Tasks::Exists(BSTR *Key, VARIANT_BOOL *ret) noexcept {
    return GuardResult(ret, [&] { return ExistsKey(FromBstr(Ref(Key))) ? VARIANT_TRUE : VARIANT_FALSE; });
}

// ---- Bodies -------------------------------------------------------------------------------------------------------

void Tasks::SetTaskScheduler(ITaskScheduler *connection) {
    TraceScope trace(kModule, "Property (Set) TaskScheduler");
    connection_ = ComRef<ITaskScheduler>::Share(connection);
    GetTasks();
}

void Tasks::GetTasks() {
    TraceScope trace(kModule, "Sub GetTasks");
    // The names first, in enumeration order. The list and its count are
    // 16-bit: a list that would grow past 32,767 entries stops the load with
    // error 6 before anything is replaced.
    std::vector<std::u16string> names;
    SHORT count = 0;
    ComRef<IEnumWorkItems> items;
    Check(Connected(connection_)->Enum(items.Out()));
    if (!items) RaiseHResult(E_POINTER);
    for (;;) {
        LPWSTR *array = nullptr;
        ULONG fetched = 0;
        if (FAILED(items->Next(kNamesPerBatch, &array, &fetched))) break;
        NameBatch batch(array, array ? (fetched < kNamesPerBatch ? fetched : kNamesPerBatch) : 0);
        if (batch.size() == 0) break;
        if (static_cast<std::size_t>(count) + batch.size() > names.size())
            names.resize(static_cast<std::size_t>(AddI2(static_cast<SHORT>(names.size()), kListGrowth)));
        for (ULONG k = 0; k < batch.size(); ++k) {
            std::u16string name = batch.Take(k);
            StripJobSuffix(name);
            names[static_cast<std::size_t>(AddI2(count, static_cast<SHORT>(k)))] = std::move(name);
        }
        count = AddI2(count, static_cast<SHORT>(batch.size()));
    }
    items.reset();

    // Then a new collection, one Task per name. A failing Activate stops the
    // load with the tasks added before it.
    collection_ = KeyedCollection<_Task>();
    collection_.Reserve(static_cast<std::size_t>(count));
    for (SHORT i = 0; i < count; ++i) {
        std::u16string &name = names[static_cast<std::size_t>(i)];
        ITask *raw = nullptr;
        Check(connection_->Activate(Wide(name), Globals().IID_ITask, reinterpret_cast<IUnknown **>(&raw)));
        ComRef<ITask> item = ComRef<ITask>::Adopt(raw);
        if (!item) RaiseHResult(E_POINTER);
        AddITask(std::move(name), item.get());
    }
}

ComRef<_Task> Tasks::AddITask(std::u16string name, ITask *item) {
    TraceScope trace(kModule, "Function AddITask");
    ComRef<_Task> task = TaskObject::CreateTask();
    if (!task) RaiseHResult(E_POINTER);
    ComRef<ITask> created;
    if (!item) {
        ITask *raw = nullptr;
        Check(Connected(connection_)
                  ->NewWorkItem(Wide(name), Globals().CLSID_CTask, Globals().IID_ITask,
                                reinterpret_cast<IUnknown **>(&raw)));
        created = ComRef<ITask>::Adopt(raw);
        if (!created) RaiseHResult(E_POINTER);
        item = created.get();
    }
    TaskObject::NameTask(task.get(), std::move(name));
    TaskObject::BindTask(task.get(), item);
    collection_.Add(task, TaskObject::NameOf(task.get()));
    return task;
}

ComRef<_Task> Tasks::AddTask(BSTR *name) {
    TraceScope trace(kModule, "Function Add");
    BSTR &argument = Ref(name);
    std::u16string text = FromBstr(argument);
    if (IsBlank(text)) {
        text = GetGUID();
        Assign(&argument, text);
    }
    return AddITask(std::move(text), nullptr);
}

ComRef<_Task> Tasks::Item(const VARIANT *indexKey) {
    TraceScope trace(kModule, "Property (Get) Item");
    return ComRef<_Task>::Share(collection_.Item(indexKey));
}

LONG Tasks::Count() {
    TraceScope trace(kModule, "Property (Get) Count");
    return collection_.Count();
}

void Tasks::RemoveTask(const VARIANT *indexKey) {
    TraceScope trace(kModule, "Sub Remove");
    const IndexKey index = ReadIndexKey(indexKey);
    ComRef<_Task> task = ComRef<_Task>::Share(collection_.Item(index));
    // The stored task is the one that bears the task's current name, which
    // may differ from the key it was added under.
    BstrHolder taskName;
    CheckMember(task->get_TaskName(taskName.out()));
    const std::u16string current = FromBstr(taskName.get());
    Check(Connected(connection_)->Delete(Wide(current)));
    collection_.Remove(index);
}

ComRef<IUnknown> Tasks::NewEnum() {
    TraceScope trace(kModule, "Property (Get) NewEnum");
    ComRef<IEnumVARIANT> enumerator = NewObjectEnumerator(collection_.Snapshot<IDispatch>());
    return ComRef<IUnknown>::Adopt(enumerator.Detach());
}

bool Tasks::ExistsKey(const std::u16string &key) const {
    return KeyLookupSucceeds([&] { collection_.ItemByKey(key); });
}

namespace {

void CopyString(_Task *from, _Task *to, HRESULT (STDMETHODCALLTYPE _Task::*get)(BSTR *),
                HRESULT (STDMETHODCALLTYPE _Task::*put)(BSTR)) {
    BstrHolder value;
    CheckMember((from->*get)(value.out()));
    CheckMember((to->*put)(value.get()));
}

template <class Got, class Put>
void CopyValue(_Task *from, _Task *to, HRESULT (STDMETHODCALLTYPE _Task::*get)(Got *),
               HRESULT (STDMETHODCALLTYPE _Task::*put)(Put)) {
    Got value{};
    CheckMember((from->*get)(&value));
    CheckMember((to->*put)(static_cast<Put>(value)));
}

void CopyWorkItemData(_Task *from, _Task *to) {
    struct ArrayHolder {
        SAFEARRAY *array = nullptr;
        ~ArrayHolder() {
            if (array) SafeArrayDestroy(array);
        }
    } data;
    CheckMember(from->get_WorkItemData(&data.array));
    CheckMember(to->put_WorkItemData(&data.array));
}

}  // namespace

ComRef<_Task> Tasks::CloneTask(BSTR *existingName, BSTR *newName) {
    TraceScope trace(kModule, "Function Clone");
    VARIANT key;
    VariantInit(&key);
    key.vt = VT_BSTR | VT_BYREF;
    key.pbstrVal = &Ref(existingName);
    ComRef<_Task> existing = Item(&key);
    ComRef<_Task> created = AddTask(newName);
    _Task *from = existing.get(), *to = created.get();
    // The settings in this order; a failure leaves the new task in the
    // collection, unsaved, with what was copied before it.
    CopyString(from, to, &_Task::get_AccountName, &_Task::put_AccountName);
    CopyString(from, to, &_Task::get_ApplicationName, &_Task::put_ApplicationName);
    CopyString(from, to, &_Task::get_Comment, &_Task::put_Comment);
    CopyValue(from, to, &_Task::get_flags, &_Task::put_flags);
    CopyValue(from, to, &_Task::get_IdleWaitDeadlineMinutes, &_Task::put_IdleWaitDeadlineMinutes);
    CopyValue(from, to, &_Task::get_IdleWaitMinutes, &_Task::put_IdleWaitMinutes);
    CopyValue(from, to, &_Task::get_MaxRunTime, &_Task::put_MaxRunTime);
    CopyString(from, to, &_Task::get_Parameters, &_Task::put_Parameters);
    CopyValue(from, to, &_Task::get_Priority, &_Task::put_Priority);
    CopyString(from, to, &_Task::get_WorkingDirectory, &_Task::put_WorkingDirectory);
    CopyWorkItemData(from, to);
    return created;
}

}  // namespace velqosch
