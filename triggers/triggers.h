// Triggers: the schedules of one work item, in the service's order, with the
// index table that lets each Trigger report its current 0-based index after
// other triggers have been removed.
#pragma once

#include <vector>

#include "collection/keyed_collection.h"
#include "component/objects.h"
#include "component/surface.h"
#include "service/platform.h"
#include "triggers/trigger.h"

namespace velqosch {

class TriggersObject final : public DualObject<TriggersObject, TaskScheduler::_Triggers> {
public:
    // A new, empty and unbound collection with one reference for the caller.
    static ComRef<TriggersObject> Create();
    static bool IsOwnInterface(REFIID riid) noexcept;

    // _Triggers
    HRESULT STDMETHODCALLTYPE Add(TaskScheduler::_Trigger **ret) noexcept override {
        return GuardResult(ret, [&] { return AddTrigger(); });
    }
    HRESULT STDMETHODCALLTYPE get_Item(SHORT *Index, TaskScheduler::_Trigger **ret) noexcept override {
        return GuardResult(ret, [&] { return Item(Ref(Index)); });
    }
    HRESULT STDMETHODCALLTYPE get_Count(LONG *ret) noexcept override {
        return GuardResult(ret, [&] { return Count(); });
    }
    HRESULT STDMETHODCALLTYPE Remove(SHORT *Index) noexcept override {
        return Guard([&] { RemoveTrigger(Ref(Index)); });
    }
    HRESULT STDMETHODCALLTYPE get_NewEnum(IUnknown **ret) noexcept override {
        return GuardResult(ret, [&] { return NewEnum(); });
    }

    // The members' bodies; these raise.
    ComRef<TriggerObject> AddTrigger();
    ComRef<TriggerObject> Item(SHORT index);
    LONG Count();
    void RemoveTrigger(SHORT index);
    ComRef<IUnknown> NewEnum();

    // Internal members.
    SHORT AllocateIndexSlot();
    void FreeIndexSlot(SHORT slot);
    SHORT IndexOfSlot(SHORT slot) const;
    void ReleaseTriggers() noexcept;
    // Binds the collection to its work item and wraps the item's triggers.
    void SetIScheduledWorkItem(IScheduledWorkItem *item);
    // Wraps trigger in a Trigger and appends it. An empty trigger asks the
    // work item for a new one, which is written back into the argument.
    ComRef<TriggerObject> AddITaskTrigger(ComRef<ITaskTrigger> &trigger);

    // The index table as it stands (entries beyond the slots handed out
    // included), for tests.
    std::vector<SHORT> IndexTable() const;
    SHORT SlotsAllocated() const noexcept { return slotsAllocated_; }
    SHORT LiveTriggers() const noexcept { return liveTriggers_; }

private:
    TriggersObject();
    ~TriggersObject() override;
    friend class DualObject<TriggersObject, TaskScheduler::_Triggers>;

    IScheduledWorkItem &WorkItem() const;
    SHORT &Slot(std::size_t slot) noexcept;
    SHORT Slot(std::size_t slot) const noexcept;
    std::size_t TableSize() const noexcept;

    // The index table grows ten slots at a time; the first ten are kept in
    // the object itself.
    static constexpr SHORT kSlotGrowth = 10;
    static constexpr std::size_t kFirstSlots = 10;

    KeyedCollection<TriggerObject> items_;
    ComRef<IScheduledWorkItem> workItem_;
    SHORT firstSlots_[kFirstSlots] = {};
    SHORT slotsAllocated_ = 0;
    SHORT liveTriggers_ = 0;
    std::vector<SHORT> laterSlots_;
};

}  // namespace velqosch
