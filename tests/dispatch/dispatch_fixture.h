// A private store for each test, the runtime's own service daemon started on
// demand and stopped at the end, and the Scheduler made through the
// component's class factory.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "collection/keyed_collection.h"
#include "service/platform.h"

namespace dispatch_test {

class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new Scheduler through DllGetClassObject and IClassFactory, as IDispatch.
    static velqosch::ComRef<IDispatch> NewScheduler();

    std::string dir_, windows_;
};

}  // namespace dispatch_test
