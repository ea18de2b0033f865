// Triggers: loading at binding, Add, Item, Count, Remove with the index
// table's renumbering, the enumerator, and who holds whom.
#include "objects_test_support.h"

namespace objects_test {
namespace {

using TaskScheduler::_Trigger;
using TaskScheduler::_Triggers;
using velqosch::TaskObject;
using velqosch::TriggerObject;
using velqosch::TriggersObject;

class TriggersTest : public ObjectsTest {
protected:
    void StoreTriggers(int n) {
        for (int i = 0; i < n; ++i) {
            TASK_TRIGGER r = fake::Record(TASK_TIME_TRIGGER_DAILY);
            r.MinutesInterval = static_cast<DWORD>(100 + i);  // tells them apart
            item->AddStoredTrigger(r);
        }
    }
    static SHORT IndexOf(_Triggers *triggers, SHORT position) {
        _Trigger *t = nullptr;
        EXPECT_EQ(triggers->get_Item(&position, &t), S_OK);
        if (!t) return -99;
        SHORT index = -99;
        EXPECT_EQ(t->get_Index(&index), S_OK);
        t->Release();
        return index;
    }
    static LONG MarkOf(_Trigger *t) {
        LONG v = 0;
        EXPECT_EQ(t->get_MinutesInterval(&v), S_OK);
        return v;
    }
};

TEST_F(TriggersTest, BindingWrapsEachTriggerInOrder) {
    StoreTriggers(3);
    ComRef<TaskObject> task;
    ComRef<TriggersObject> triggers = BoundTriggers(task);
    EXPECT_EQ(journal.Calls(), (std::vector<std::string>{"GetTriggerCount()", "GetTrigger(0)", "T0.GetTrigger(48)",
                                                         "GetTrigger(1)", "T1.GetTrigger(48)", "GetTrigger(2)",
                                                         "T2.GetTrigger(48)"}));
    EXPECT_EQ(triggers->Count(), 3);
    for (SHORT p = 1; p <= 3; ++p) {
        ComRef<TriggerObject> t = triggers->Item(p);
        EXPECT_EQ(MarkOf(t.get()), 99 + p);
        EXPECT_EQ(t->Index(), p - 1);
        EXPECT_EQ(t->IsDirty(), VARIANT_FALSE) << "stored triggers keep their flags";
    }
    for (const auto &s : item->triggers) EXPECT_EQ(s->Refs(), 2u) << "the item and one Trigger hold it";
}

TEST_F(TriggersTest, AFailingBindingKeepsWhatWasWrapped) {
    StoreTriggers(3);
    journal.Answer("T1.GetTrigger", E_ACCESSDENIED);
    ComRef<TaskObject> task = TaskObject::Create();
    EXPECT_THROW(task->SetITask(item.get()), velqosch::ComponentError);
    EXPECT_EQ(task->Triggers()->Count(), 1);
    EXPECT_EQ(item->triggers[1]->Refs(), 1u) << "the Trigger that failed to bind let go of its service trigger";
}

TEST_F(TriggersTest, AddCreatesAServiceTriggerWithFlagsZero) {
    StoreTriggers(2);
    item->newTriggerRecord.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
    ComRef<TaskObject> task;
    ComRef<TriggersObject> triggers = BoundTriggers(task);
    journal.Clear();
    _Trigger *added = nullptr;
    ASSERT_EQ(triggers->Add(&added), S_OK);
    ComRef<_Trigger> hold = ComRef<_Trigger>::Adopt(added);
    EXPECT_EQ(journal.Calls(), (std::vector<std::string>{"CreateTrigger()", "T2.GetTrigger(48)"}))
        << "nothing is written to the service before Update";
    SHORT index = -1;
    ASSERT_EQ(added->get_Index(&index), S_OK);
    EXPECT_EQ(index, 2) << "the collection's own numbering, not the service's answer";
    EXPECT_EQ(triggers->Count(), 3);
    EXPECT_EQ(triggers->Item(3).get(), static_cast<TriggerObject *>(added));
    TaskScheduler::TASK_TRIGGER_FLAGS flags{};
    ASSERT_EQ(added->get_flags(&flags), S_OK);
    EXPECT_EQ(flags, 0);
    VARIANT_BOOL dirty = 0;
    ASSERT_EQ(added->get_IsDirty(&dirty), S_OK);
    EXPECT_EQ(dirty, VARIANT_TRUE) << "flags were not 0 before";
    EXPECT_EQ(static_cast<TriggerObject *>(added)->References(), 2u) << "the list and this test";
    EXPECT_EQ(item->triggers[2]->Refs(), 2u) << "the item and the new Trigger";

    // A new trigger whose flags are already 0 stays clean.
    item->newTriggerRecord.rgFlags = 0;
    ComRef<TriggerObject> second = triggers->AddTrigger();
    EXPECT_EQ(second->IsDirty(), VARIANT_FALSE);
}

TEST_F(TriggersTest, AFailingAddAppendsNothing) {
    ComRef<TaskObject> task;
    ComRef<TriggersObject> triggers = BoundTriggers(task);
    journal.Answer("CreateTrigger", SCHED_E_SERVICE_NOT_RUNNING);
    _Trigger *added = reinterpret_cast<_Trigger *>(1);
    EXPECT_EQ(triggers->Add(&added), SCHED_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(added, nullptr);
    EXPECT_EQ(triggers->Count(), 0);
    EXPECT_EQ(triggers->SlotsAllocated(), 0);
    const SeenError e = TakeErrorInfo();
    EXPECT_TRUE(e.present);
    EXPECT_EQ(e.source, u"Velqo Task Scheduler");
}

TEST_F(TriggersTest, ItemOutsideTheListIsSubscriptOutOfRange) {
    StoreTriggers(1);
    ComRef<TaskObject> task;
    ComRef<TriggersObject> triggers = BoundTriggers(task);
    for (SHORT bad : {SHORT{0}, SHORT{2}, SHORT{-1}}) {
        _Trigger *t = reinterpret_cast<_Trigger *>(1);
        EXPECT_EQ(triggers->get_Item(&bad, &t), static_cast<HRESULT>(0x800A0009));
        EXPECT_EQ(t, nullptr);
    }
    _Trigger *t = nullptr;
    EXPECT_EQ(triggers->get_Item(nullptr, &t), E_POINTER);
    SHORT one = 1;
    EXPECT_EQ(triggers->get_Item(&one, nullptr), E_POINTER);
}

TEST_F(TriggersTest, RemoveDeletesByCurrentIndexAndRenumbers) {
    StoreTriggers(4);
    ComRef<TaskObject> task;
    ComRef<TriggersObject> triggers = BoundTriggers(task);
    ComRef<TriggerObject> a = triggers->Item(1), b = triggers->Item(2), c = triggers->Item(3), d = triggers->Item(4);
    journal.Clear();
    SHORT one = 1, two = 2;
    ASSERT_EQ(triggers->Remove(&one), S_OK);
    ASSERT_EQ(triggers->Remove(&two), S_OK);
    EXPECT_EQ(journal.Calls(), (std::vector<std::string>{"DeleteTrigger(0)", "DeleteTrigger(1)"})) << "A, then C";
    EXPECT_EQ(a->Index(), -1);
    EXPECT_EQ(b->Index(), 0);
    EXPECT_EQ(c->Index(), -1);
    EXPECT_EQ(d->Index(), 1);
    EXPECT_EQ(triggers->Count(), 2);
    EXPECT_EQ(MarkOf(triggers->Item(1).get()), 101);
    EXPECT_EQ(MarkOf(triggers->Item(2).get()), 103);
    EXPECT_EQ(a->References(), 1u) << "only this test holds a removed Trigger";
    // The service's own list agrees with what the Triggers report.
    ASSERT_EQ(item->triggers.size(), 2u);
    EXPECT_EQ(item->triggers[0]->record.MinutesInterval, 101u);
    EXPECT_EQ(item->triggers[1]->record.MinutesInterval, 103u);

    // A new trigger after removals takes the next index after the live ones.
    ComRef<TriggerObject> e = triggers->AddTrigger();
    EXPECT_EQ(e->Index(), 2);
}

TEST_F(TriggersTest, RepeatedRemoveOfTheFirst) {
    StoreTriggers(3);
    ComRef<TaskObject> task;
    ComRef<TriggersObject> triggers = BoundTriggers(task);
    ComRef<TriggerObject> b = triggers->Item(2), c = triggers->Item(3);
    triggers->RemoveTrigger(1);
    EXPECT_EQ(b->Index(), 0);
    EXPECT_EQ(c->Index(), 1);
    journal.Clear();
    triggers->RemoveTrigger(1);
    EXPECT_EQ(journal.Calls(), (std::vector<std::string>{"DeleteTrigger(0)"}));
    EXPECT_EQ(b->Index(), -1);
    EXPECT_EQ(c->Index(), 0);
}

TEST_F(TriggersTest, RemoveOutsideTheListIsInvalidTriggerIndex) {
    StoreTriggers(2);
    ComRef<TaskObject> task;
    ComRef<TriggersObject> triggers = BoundTriggers(task);
    journal.Clear();
    for (SHORT bad : {SHORT{0}, SHORT{3}, SHORT{-32768}}) {
        EXPECT_EQ(triggers->Remove(&bad), static_cast<HRESULT>(0x800A0005));
        const SeenError e = TakeErrorInfo();
        EXPECT_EQ(e.description, u"Invalid Trigger Index");
        EXPECT_EQ(e.source, u"Velqo Task Scheduler");
        EXPECT_EQ(e.helpFile, u"");
        EXPECT_EQ(e.helpContext, 0u);
    }
    EXPECT_EQ(triggers->Remove(nullptr), E_POINTER);
    EXPECT_TRUE(journal.Calls().empty());
    EXPECT_EQ(triggers->Count(), 2);
}

TEST_F(TriggersTest, AFailedDeleteChangesNothing) {
    StoreTriggers(2);
    ComRef<TaskObject> task;
    ComRef<TriggersObject> triggers = BoundTriggers(task);
    ComRef<TriggerObject> second = triggers->Item(2);
    journal.Answer("DeleteTrigger", E_ACCESSDENIED);
    SHORT one = 1;
    EXPECT_EQ(triggers->Remove(&one), E_ACCESSDENIED);
    EXPECT_EQ(triggers->Count(), 2);
    EXPECT_EQ(second->Index(), 1);
    EXPECT_EQ(triggers->LiveTriggers(), 2);
}

TEST_F(TriggersTest, IndexTableGrowsInStepsOfTen) {
    ComRef<TaskObject> task;
    ComRef<TriggersObject> triggers = BoundTriggers(task);
    EXPECT_EQ(triggers->IndexTable().size(), 0u);
    for (int i = 0; i < 10; ++i) triggers->AllocateIndexSlot();
    EXPECT_EQ(triggers->IndexTable().size(), 10u);
    triggers->FreeIndexSlot(3);
    EXPECT_EQ(triggers->AllocateIndexSlot(), 10) << "slots are never reused";
    ASSERT_EQ(triggers->IndexTable().size(), 20u);
    EXPECT_EQ(triggers->IndexOfSlot(10), 9);
    EXPECT_EQ(triggers->IndexOfSlot(2), 2);
    EXPECT_EQ(triggers->IndexOfSlot(3), -1);
    EXPECT_EQ(triggers->IndexOfSlot(9), 8);
    EXPECT_THROW(triggers->IndexOfSlot(20), velqosch::ComponentError);
}

TEST_F(TriggersTest, EnumeratorYieldsTheTriggersInOrder) {
    StoreTriggers(3);
    ComRef<TaskObject> task;
    ComRef<TriggersObject> triggers = BoundTriggers(task);
    IUnknown *unknown = nullptr;
    ASSERT_EQ(triggers->get_NewEnum(&unknown), S_OK);
    ComRef<IUnknown> holdUnknown = ComRef<IUnknown>::Adopt(unknown);
    IEnumVARIANT *raw = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void **>(&raw)), S_OK);
    ComRef<IEnumVARIANT> e = ComRef<IEnumVARIANT>::Adopt(raw);
    VARIANT v[4];
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(4, v, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    for (ULONG k = 0; k < fetched; ++k) {
        ASSERT_EQ(v[k].vt, VT_DISPATCH);
        _Trigger *t = nullptr;
        ASSERT_EQ(v[k].pdispVal->QueryInterface(TaskScheduler::IID__Trigger, reinterpret_cast<void **>(&t)), S_OK);
        EXPECT_EQ(MarkOf(t), static_cast<LONG>(100 + k));
        t->Release();
        VariantClear(&v[k]);
    }
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(2), S_OK);
    EXPECT_EQ(e->Skip(2), S_FALSE);
}

TEST_F(TriggersTest, EndingTheTaskBreaksTheCycleButHeldTriggersStayUsable) {
    StoreTriggers(2);
    const LONG before = velqosch::LiveObjectCount();
    ComRef<TaskObject> task = BoundTask();
    EXPECT_EQ(velqosch::LiveObjectCount(), before + 4) << "Task, Triggers and two Triggers";
    _Triggers *collection = nullptr;
    ASSERT_EQ(task->get_Triggers(&collection), S_OK);
    ComRef<_Triggers> heldCollection = ComRef<_Triggers>::Adopt(collection);
    EXPECT_EQ(static_cast<TriggersObject *>(collection)->References(), 4u) << "Task, two Triggers, this test";
    ComRef<TriggerObject> held = task->Triggers()->Item(2);
    heldCollection.reset();
    task.reset();
    EXPECT_EQ(velqosch::LiveObjectCount(), before + 2) << "the held Trigger and the Triggers it keeps";
    EXPECT_EQ(held->Index(), 1);
    held->PutMinutesInterval(5);
    EXPECT_EQ(held->Update(), S_OK);
    EXPECT_EQ(item->triggers[1]->record.MinutesInterval, 5u);
    EXPECT_EQ(item->triggers[0]->Refs(), 1u) << "the Trigger nobody held is gone";
    held.reset();
    EXPECT_EQ(velqosch::LiveObjectCount(), before);
}

}  // namespace
}  // namespace objects_test
