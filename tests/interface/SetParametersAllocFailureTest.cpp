// SetParameters under allocation failure: whichever allocation fails, the call
// returns false, lets no exception out and keeps the previous configuration
// whole. The failure is injected by the replacement operator new of
// alloc_fault.cpp at every allocation the call makes, one run per allocation.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "IVEKCustomClass.h"
#include "alloc_fault.h"
#include "interface_test_support.h"

namespace {

using interface_test::ListSizes;
using interface_test::MakeParams;
using interface_test::SameParams;
using interface_test::StubModel;

struct FailureCase {
    const char* name;
    ListSizes before;
    ListSizes after;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

/// The outcome of one SetParameters call made while armed.
struct ArmedCall {
    bool result = false;
    bool escaped = false;  ///< an exception left SetParameters
    alloc_fault::Report report;
};

ArmedCall SetParametersArmed(StubModel& model, const CustomParams& params, std::size_t failAt) {
    ArmedCall call;
    alloc_fault::Arm(failAt);
    try {
        call.result = model.SetParameters(params);
    } catch (...) {
        call.escaped = true;
    }
    call.report = alloc_fault::Disarm();
    return call;
}

/// A model in the state every run starts from.
StubModel StartingModel(const FailureCase& c) {
    StubModel model;
    model.text = "previous text";
    model.value = 0.75f;
    model.loadEngineOnCreate = true;
    model.SetParameters(MakeParams(c.before, 1));
    return model;
}

class SetParametersAllocFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(SetParametersAllocFailureTest, EveryFailurePointKeepsThePreviousConfiguration) {
    const FailureCase& c = GetParam();
    const CustomParams next = MakeParams(c.after, 2);
    ASSERT_TRUE(SameParams(StartingModel(c).customParams, MakeParams(c.before, 1)));

    // Count the allocations of a successful call from the same starting state.
    std::size_t allocations = 0;
    {
        StubModel model = StartingModel(c);
        const ArmedCall counted = SetParametersArmed(model, next, 0);
        ASSERT_TRUE(counted.result);
        ASSERT_FALSE(counted.escaped);
        allocations = counted.report.allocations;
    }
    // Every list and long text needs its own block; fewer would mean the counter
    // misses allocations (for instance those made inside the standard library).
    ASSERT_GE(allocations, interface_test::MinimumHeapBlocks(next));
    RecordProperty("allocations", static_cast<int>(allocations));

    for (std::size_t failAt = 1; failAt <= allocations; ++failAt) {
        SCOPED_TRACE("allocation " + std::to_string(failAt) + " of " + std::to_string(allocations) +
                     " fails");
        StubModel model = StartingModel(c);
        const CustomParams saved = model.customParams;

        const ArmedCall call = SetParametersArmed(model, next, failAt);

        ASSERT_TRUE(call.report.injected);
        EXPECT_FALSE(call.escaped);
        EXPECT_FALSE(call.result);
        EXPECT_TRUE(SameParams(model.customParams, saved));
        EXPECT_EQ(model.text, "previous text");
        EXPECT_EQ(model.value, 0.75f);
        EXPECT_TRUE(model.loadEngineOnCreate);

        // The model stays usable once memory is available again.
        EXPECT_TRUE(model.SetParameters(next));
        EXPECT_TRUE(SameParams(model.customParams, next));
    }

    // A failure point past the last allocation is never reached.
    StubModel model = StartingModel(c);
    const ArmedCall call = SetParametersArmed(model, next, allocations + 1);
    EXPECT_FALSE(call.report.injected);
    EXPECT_FALSE(call.escaped);
    EXPECT_TRUE(call.result);
    EXPECT_EQ(call.report.allocations, allocations);
    EXPECT_TRUE(SameParams(model.customParams, next));
}

INSTANTIATE_TEST_SUITE_P(IVEKCustomClass, SetParametersAllocFailureTest,
                         testing::Values(FailureCase{"GrowFromOneOfEach", {1, 1, 1, 1}, {2, 3, 3, 2}},
                                         FailureCase{"ShrinkToTwoZeroThreeOne", {3, 2, 4, 3}, {2, 0, 3, 1}},
                                         FailureCase{"FillFromEmpty", {0, 0, 0, 0}, {2, 1, 2, 2}},
                                         FailureCase{"SameSizesNewContents", {2, 2, 3, 2}, {2, 2, 3, 2}}),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
