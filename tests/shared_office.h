// One LibreOffice for all tests of a test program, started on first use and ended before the program exits
// (the UNO runtime is gone by the time static objects are destroyed).
#pragma once

#include "report/calc.h"

#include <gtest/gtest.h>
#include <memory>

namespace mervo::test {

inline std::unique_ptr<zorbel::calc::Office>& sharedOfficeSlot() {
    static std::unique_ptr<zorbel::calc::Office> office;
    return office;
}

class SharedOfficeEnvironment : public ::testing::Environment {
public:
    void TearDown() override { sharedOfficeSlot().reset(); }
};

inline const auto* const kSharedOfficeEnvironment =
    ::testing::AddGlobalTestEnvironment(new SharedOfficeEnvironment);

// The running office of the test program.
inline zorbel::calc::Office& office() {
    auto& o = sharedOfficeSlot();
    if (!o) o = std::make_unique<zorbel::calc::Office>();
    o->start();
    return *o;
}

} // namespace mervo::test
