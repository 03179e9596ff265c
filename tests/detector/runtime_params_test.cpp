#include "runtime_params.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

CustomParameter Param(const std::string& name, float value) {
    CustomParameter p;
    p.Name = name;
    p.DataType = "float";
    p.Number = value;
    return p;
}

CustomItem Roi(std::vector<double> values, const std::string& text = "ExclusiveROIs") {
    CustomItem item;
    item.Text = text;
    item.Values = std::move(values);
    return item;
}

TEST(RuntimeParams, DefaultsWithoutParameters) {
    const auto r = firesmoke::ReadRuntimeParams(CustomParams{});
    EXPECT_FLOAT_EQ(r.smokeScore, firesmoke::kDefaultSmokeScore);
    EXPECT_FLOAT_EQ(r.sensitivity, firesmoke::kDefaultSensitivity);
    EXPECT_EQ(r.exclusiveCount, 0);
}

TEST(RuntimeParams, ValuesAreClampedAndNaNIsIgnored) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float in;
        float expected;
    };
    for (const Case c : {Case{0.7f, 0.7f}, Case{-3.0f, 0.0f}, Case{9.0f, 1.0f}, Case{nan, 0.5f}}) {
        CustomParams p;
        p.Parameters = {Param("SmokeScore", c.in), Param("Sensitivity", c.in), Param("smokescore", 0.1f)};
        const auto r = firesmoke::ReadRuntimeParams(p);
        EXPECT_FLOAT_EQ(r.smokeScore, c.expected) << "in " << c.in;
        EXPECT_FLOAT_EQ(r.sensitivity, c.expected) << "in " << c.in;
    }
}

TEST(RuntimeParams, ExclusiveRectanglesAreReadAndMalformedOnesSkipped) {
    CustomParams p;
    p.Items = {Roi({0.1, 0.2, 0.3, 0.4}), Roi({0.5, 0.5, 0.1}),              // too few values
               Roi({0.0, 0.0, -1.0, 0.5}),                                   // negative width
               Roi({0.0, 0.0, std::numeric_limits<double>::infinity(), 1}),  // not finite
               Roi({0.0, 0.0, 1.0, 1.0}, "Other")};                          // another configuration
    const auto r = firesmoke::ReadRuntimeParams(p);
    ASSERT_EQ(r.exclusiveCount, 1);
    EXPECT_FLOAT_EQ(r.exclusive[0].x, 0.1f);
    EXPECT_FLOAT_EQ(r.exclusive[0].height, 0.4f);

    p.Items.assign(30, Roi({0.0, 0.0, 0.1, 0.1}));
    EXPECT_EQ(firesmoke::ReadRuntimeParams(p).exclusiveCount, firesmoke::kMaxExclusiveRois);
}

}  // namespace
