#include "triggers/triggers.h"

#include <utility>

#include "globals/globals.h"
#include "trace/error.h"
#include "trace/trace.h"

namespace velqosch {

namespace {
constexpr std::string_view kModule = "Triggers";
}  // namespace

ComRef<TriggersObject> TriggersObject::Create() {
    EnsureThreadStarted();
    TraceScope trace(kModule, "Sub Class_Initialize");
    return ComRef<TriggersObject>::Adopt(new TriggersObject());
}

TriggersObject::TriggersObject() = default;

TriggersObject::~TriggersObject() {
    TraceScope trace(kModule, "Sub Class_Terminate");
    ReleaseTriggers();
}

bool TriggersObject::IsOwnInterface(REFIID riid) noexcept { return IsEqualIID(riid, TaskScheduler::IID__Triggers); }

IScheduledWorkItem &TriggersObject::WorkItem() const {
    if (!workItem_) Raise(91, kProductName, u"Object variable or With block variable not set");
    return *workItem_.get();
}

// ---- Binding ------------------------------------------------------------------------------------------------------

void TriggersObject::SetIScheduledWorkItem(IScheduledWorkItem *item) {
    TraceScope trace(kModule, "Property (Set) IScheduledWorkItem");
    workItem_ = ComRef<IScheduledWorkItem>::Share(item);
    WORD count = 0;
    Check(WorkItem().GetTriggerCount(&count));
    const SHORT triggers = static_cast<SHORT>(count);
    if (triggers > 0) items_.Reserve(static_cast<std::size_t>(triggers), false);
    for (SHORT i = 0; i < triggers; ++i) {
        ITaskTrigger *raw = nullptr;
        Check(WorkItem().GetTrigger(static_cast<WORD>(i), &raw));
        ComRef<ITaskTrigger> trigger = ComRef<ITaskTrigger>::Adopt(raw);
        if (!trigger) RaiseHResult(E_POINTER);
        AddITaskTrigger(trigger);
    }
}

ComRef<TriggerObject> TriggersObject::AddITaskTrigger(ComRef<ITaskTrigger> &trigger) {
    TraceScope trace(kModule, "Function AddITaskTrigger");
    const bool created = !trigger;
    if (created) {
        WORD serviceIndex = 0;  // the collection keeps its own numbering
        ITaskTrigger *raw = nullptr;
        Check(WorkItem().CreateTrigger(&serviceIndex, &raw));
        trigger = ComRef<ITaskTrigger>::Adopt(raw);
        if (!trigger) RaiseHResult(E_POINTER);
    }
    ComRef<TriggerObject> wrapped = TriggerObject::Create();
    wrapped->SetITaskTrigger(trigger.get());
    wrapped->SetParent(this);
    if (created) wrapped->PutFlags(0);
    items_.Add(wrapped);
    return wrapped;
}

// ---- Members ------------------------------------------------------------------------------------------------------

ComRef<TriggerObject> TriggersObject::AddTrigger() {
    TraceScope trace(kModule, "Function Add");
    ComRef<ITaskTrigger> none;
    return AddITaskTrigger(none);
}

ComRef<TriggerObject> TriggersObject::Item(SHORT index) {
    TraceScope trace(kModule, "Property (Get) Item");
    return ComRef<TriggerObject>::Share(items_.ItemAt(index));
}

LONG TriggersObject::Count() {
    TraceScope trace(kModule, "Property (Get) Count");
    return items_.Count();
}

void TriggersObject::RemoveTrigger(SHORT index) {
    TraceScope trace(kModule, "Sub Remove");
    if (index < 1 || index > items_.Count()) Raise(kErrInvalidCall, kProductName, u"Invalid Trigger Index");
    ComRef<TriggerObject> trigger = ComRef<TriggerObject>::Share(items_.ItemAt(index));
    const SHORT serviceIndex = trigger->Index();
    Check(WorkItem().DeleteTrigger(static_cast<WORD>(serviceIndex)));
    FreeIndexSlot(trigger->IndexSlot());
    items_.RemoveAt(index);
}

ComRef<IUnknown> TriggersObject::NewEnum() {
    TraceScope trace(kModule, "Property (Get) NewEnum");
    ComRef<IEnumVARIANT> enumerator = NewObjectEnumerator(items_.Snapshot<IDispatch>());
    return ComRef<IUnknown>::Adopt(enumerator.Detach());
}

// ---- Index table --------------------------------------------------------------------------------------------------

std::vector<SHORT> TriggersObject::IndexTable() const {
    std::vector<SHORT> table(TableSize());
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = Slot(i);
    return table;
}

SHORT &TriggersObject::Slot(std::size_t slot) noexcept {
    return slot < kFirstSlots ? firstSlots_[slot] : laterSlots_[slot - kFirstSlots];
}
SHORT TriggersObject::Slot(std::size_t slot) const noexcept { return const_cast<TriggersObject *>(this)->Slot(slot); }

// Slots are handed out in order and the table grows a whole step at a time.
std::size_t TriggersObject::TableSize() const noexcept {
    return (static_cast<std::size_t>(slotsAllocated_) + kSlotGrowth - 1) / kSlotGrowth * kSlotGrowth;
}

SHORT TriggersObject::AllocateIndexSlot() {
    const SHORT slot = slotsAllocated_;
    const SHORT nextSlots = AddI2(slotsAllocated_, 1);
    const SHORT nextLive = AddI2(liveTriggers_, 1);
    if (slotsAllocated_ % kSlotGrowth == 0) {
        const SHORT size = AddI2(AddI2(slotsAllocated_, kSlotGrowth - 1), 1);
        if (static_cast<std::size_t>(size) > kFirstSlots)
            laterSlots_.resize(static_cast<std::size_t>(size) - kFirstSlots, 0);
    }
    Slot(static_cast<std::size_t>(slot)) = liveTriggers_;
    slotsAllocated_ = nextSlots;
    liveTriggers_ = nextLive;
    return slot;
}

SHORT TriggersObject::IndexOfSlot(SHORT slot) const {
    CheckBounds(slot, 0, static_cast<int64_t>(TableSize()) - 1);
    return Slot(static_cast<std::size_t>(slot));
}

void TriggersObject::FreeIndexSlot(SHORT slot) {
    CheckBounds(slot, 0, static_cast<int64_t>(TableSize()) - 1);
    const SHORT live = SubI2(liveTriggers_, 1);
    Slot(static_cast<std::size_t>(slot)) = -1;
    for (SHORT s = static_cast<SHORT>(slot + 1); s < slotsAllocated_; ++s) {
        SHORT &entry = Slot(static_cast<std::size_t>(s));
        if (entry != -1) --entry;
    }
    liveTriggers_ = live;
}

void TriggersObject::ReleaseTriggers() noexcept {
    // The list is emptied before the Triggers go, so that one that ends here
    // finds the collection consistent.
    KeyedCollection<TriggerObject> gone = std::exchange(items_, KeyedCollection<TriggerObject>());
}

}  // namespace velqosch
