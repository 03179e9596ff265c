// Tests of the members that IVEKCustomClass.h defines itself: initial values,
// copy and move, SetParameters, SetLoadEngineOnCreate, and the ownership of
// detection records. A stub model supplies the six pure operations.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "IVEKCustomClass.h"
#include "interface_test_support.h"

namespace {

using interface_test::ListSizes;
using interface_test::MakeParams;
using interface_test::SameParams;
using interface_test::StubModel;

const ListSizes kFull{3, 2, 4, 3};

/// A model with every base member set away from its initial value.
StubModel PopulatedModel(int seed) {
    StubModel model;
    model.text = interface_test::LongText(seed, "model text", 0);
    model.value = 0.25f * static_cast<float>(seed);
    model.customParams = MakeParams(kFull, seed);
    model.loadEngineOnCreate = true;
    return model;
}

/// Checks every base member of @p actual against PopulatedModel(seed).
void ExpectPopulated(const StubModel& actual, int seed) {
    const StubModel expected = PopulatedModel(seed);
    EXPECT_EQ(actual.text, expected.text);
    EXPECT_EQ(actual.value, expected.value);
    EXPECT_TRUE(SameParams(actual.customParams, expected.customParams));
    EXPECT_EQ(actual.loadEngineOnCreate, expected.loadEngineOnCreate);
}

int RefCount(const cv::Mat& m) {
    return m.u == nullptr ? 0 : m.u->refcount;
}

// ---------------------------------------------------------------------------
// Initial values

TEST(IVEKCustomClassDefaults, DefaultObjectHasEmptyTextHalfValueEmptyListsAndFlagOff) {
    const StubModel model;
    EXPECT_TRUE(model.text.empty());
    EXPECT_EQ(model.value, 0.5f);
    EXPECT_TRUE(SameParams(model.customParams, CustomParams{}));
    EXPECT_FALSE(model.loadEngineOnCreate);

    const CustomParams params;
    EXPECT_TRUE(params.ROI_Config.empty());
    EXPECT_TRUE(params.Options.empty());
    EXPECT_TRUE(params.Parameters.empty());
    EXPECT_TRUE(params.Items.empty());
}

// ---------------------------------------------------------------------------
// Copy and move

struct TransferCase {
    const char* name;
    /// Produces a new object from @p source by copy or move, construction or
    /// assignment over an object that held other values.
    std::function<StubModel(StubModel& source)> transfer;
};

void PrintTo(const TransferCase& c, std::ostream* os) {
    *os << c.name;
}

std::string CaseName(const testing::TestParamInfo<TransferCase>& info) {
    return info.param.name;
}

class CopyTest : public testing::TestWithParam<TransferCase> {};

TEST_P(CopyTest, CopyIsEqualAndIndependentOfSource) {
    StubModel source = PopulatedModel(1);
    StubModel copy = GetParam().transfer(source);
    ExpectPopulated(copy, 1);

    // Change every member of the copy, and something inside every list.
    copy.text += " changed";
    copy.value = 9.0f;
    copy.loadEngineOnCreate = false;
    copy.customParams.ROI_Config[0].Name += " changed";
    copy.customParams.ROI_Config.pop_back();
    copy.customParams.Options[1].clear();
    copy.customParams.Options.push_back("added");
    copy.customParams.Parameters[2].Options[0] += " changed";
    copy.customParams.Parameters[0].Number = -1.0f;
    copy.customParams.Items[0].Values[0] = 1234.5;
    copy.customParams.Items[2].Values.clear();
    copy.customParams.Items.emplace_back();

    ExpectPopulated(source, 1);
}

INSTANTIATE_TEST_SUITE_P(IVEKCustomClass, CopyTest,
                         testing::Values(TransferCase{"Construction",
                                                      [](StubModel& source) {
                                                          StubModel copy(source);
                                                          return copy;
                                                      }},
                                         TransferCase{"AssignmentOverOtherValues",
                                                      [](StubModel& source) {
                                                          StubModel copy = PopulatedModel(2);
                                                          copy = source;
                                                          return copy;
                                                      }}),
                         CaseName);

class MoveTest : public testing::TestWithParam<TransferCase> {};

TEST_P(MoveTest, TargetTakesEverythingSourceKeepsOnlyValueAndFlag) {
    StubModel source = PopulatedModel(1);
    const StubModel target = GetParam().transfer(source);
    ExpectPopulated(target, 1);

    EXPECT_TRUE(source.text.empty());
    EXPECT_EQ(source.value, 0.25f);
    EXPECT_TRUE(source.loadEngineOnCreate);
    EXPECT_TRUE(SameParams(source.customParams, CustomParams{}));

    // The moved-from object is still fully usable.
    EXPECT_TRUE(source.SetParameters(MakeParams(kFull, 3)));
    EXPECT_TRUE(SameParams(source.customParams, MakeParams(kFull, 3)));
}

INSTANTIATE_TEST_SUITE_P(IVEKCustomClass, MoveTest,
                         testing::Values(TransferCase{"Construction",
                                                      [](StubModel& source) {
                                                          StubModel target(std::move(source));
                                                          return target;
                                                      }},
                                         TransferCase{"AssignmentOverOtherValues",
                                                      [](StubModel& source) {
                                                          StubModel target = PopulatedModel(2);
                                                          target = std::move(source);
                                                          return target;
                                                      }}),
                         CaseName);

TEST(IVEKCustomClassSelfAssignment, CopyAndMoveOntoItselfKeepEverything) {
    StubModel model = PopulatedModel(1);
    StubModel& alias = model;  // hides the self-assignment from the compiler's warnings

    model = alias;
    ExpectPopulated(model, 1);

    model = std::move(alias);
    ExpectPopulated(model, 1);
}

// ---------------------------------------------------------------------------
// SetParameters

struct ReplaceCase {
    const char* name;
    ListSizes before;
    ListSizes after;
};

void PrintTo(const ReplaceCase& c, std::ostream* os) {
    *os << c.name;
}

class SetParametersTest : public testing::TestWithParam<ReplaceCase> {};

TEST_P(SetParametersTest, LeavesExactlyCopiesOfTheGivenListsInOrder) {
    const ReplaceCase& c = GetParam();
    StubModel model = PopulatedModel(1);
    ASSERT_TRUE(model.SetParameters(MakeParams(c.before, 2)));

    CustomParams given = MakeParams(c.after, 3);
    EXPECT_TRUE(model.SetParameters(given));
    EXPECT_TRUE(SameParams(model.customParams, MakeParams(c.after, 3)));

    // The model holds copies: changing or dropping the argument changes nothing.
    given = MakeParams(kFull, 4);
    EXPECT_TRUE(SameParams(model.customParams, MakeParams(c.after, 3)));

    // The other members are not touched.
    EXPECT_EQ(model.text, PopulatedModel(1).text);
    EXPECT_EQ(model.value, 0.25f);
    EXPECT_TRUE(model.loadEngineOnCreate);
}

INSTANTIATE_TEST_SUITE_P(
    IVEKCustomClass, SetParametersTest,
    testing::Values(ReplaceCase{"TwoZeroThreeOneOverFull", {3, 2, 4, 3}, {2, 0, 3, 1}},
                    ReplaceCase{"TwoZeroThreeOneOverEmpty", {0, 0, 0, 0}, {2, 0, 3, 1}},
                    ReplaceCase{"TwoZeroThreeOneOverSameSizes", {2, 0, 3, 1}, {2, 0, 3, 1}},
                    ReplaceCase{"DefaultParamsEmptyEveryList", {3, 2, 4, 3}, {0, 0, 0, 0}},
                    ReplaceCase{"DefaultParamsOverEmpty", {0, 0, 0, 0}, {0, 0, 0, 0}},
                    ReplaceCase{"EveryListGrows", {1, 1, 1, 1}, {5, 4, 6, 5}},
                    ReplaceCase{"OnlyOptionsLeft", {2, 2, 2, 2}, {0, 3, 0, 0}},
                    ReplaceCase{"OneOfEach", {2, 0, 3, 1}, {1, 1, 1, 1}},
                    ReplaceCase{"ZeroTwoOneThree", {1, 3, 0, 2}, {0, 2, 1, 3}}),
    [](const testing::TestParamInfo<ReplaceCase>& info) { return std::string(info.param.name); });

TEST(IVEKCustomClassSetParameters, OwnConfigurationAsArgumentIsKept) {
    StubModel model = PopulatedModel(1);
    EXPECT_TRUE(model.SetParameters(model.customParams));
    ExpectPopulated(model, 1);
}

TEST(IVEKCustomClassSetParameters, ItemValuesAreCopiedBitForBit) {
    // Patterns that a copy through arithmetic or a float conversion would alter.
    const std::vector<std::uint64_t> patterns = {
        0x0000000000000000ULL,  // +0
        0x8000000000000000ULL,  // -0
        0x0000000000000001ULL,  // smallest subnormal
        0x7FF0000000000000ULL,  // +infinity
        0xFFF0000000000000ULL,  // -infinity
        0x7FF8DEADBEEF0001ULL,  // quiet NaN with payload
        0x7FF0000000000BADULL,  // signalling NaN with payload
        0xFFFFFFFFFFFFFFFFULL,  // negative NaN, all bits set
        0x3FF0000000000001ULL,  // 1 + one ulp
        0x0123456789ABCDEFULL,
    };
    CustomParams params;
    params.Items.resize(2);
    params.Items[0].Values.resize(patterns.size());
    std::memcpy(params.Items[0].Values.data(), patterns.data(), patterns.size() * sizeof(std::uint64_t));
    params.Items[1].Number = std::numeric_limits<float>::quiet_NaN();

    StubModel model;
    ASSERT_TRUE(model.SetParameters(params));
    ASSERT_EQ(model.customParams.Items.size(), 2U);
    const std::vector<double>& copied = model.customParams.Items[0].Values;
    ASSERT_EQ(copied.size(), patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &copied[i], sizeof bits);
        EXPECT_EQ(bits, patterns[i]) << "value " << i;
    }
    EXPECT_TRUE(SameParams(model.customParams, params));
}

// ---------------------------------------------------------------------------
// SetLoadEngineOnCreate

TEST(IVEKCustomClassSetLoadEngineOnCreate, StoresTheLastFlagAndNothingElse) {
    StubModel model = PopulatedModel(1);
    for (const bool flag : {false, false, true, true, false}) {
        model.SetLoadEngineOnCreate(flag);
        EXPECT_EQ(model.loadEngineOnCreate, flag);
    }
    model.SetLoadEngineOnCreate(true);
    ExpectPopulated(model, 1);
}

// ---------------------------------------------------------------------------
// Detection records

struct InferenceCase {
    const char* name;
    std::function<std::vector<CustomDetection>(StubModel&, const cv::Mat&)> run;
};

void PrintTo(const InferenceCase& c, std::ostream* os) {
    *os << c.name;
}

class DetectionListTest : public testing::TestWithParam<InferenceCase> {};

TEST_P(DetectionListTest, MovedListKeepsRecordsAndDestroyingItReleasesTheirImages) {
    StubModel model;
    const cv::Mat frame(48, 64, CV_8UC3, cv::Scalar(10, 20, 30));
    ASSERT_EQ(RefCount(frame), 1);

    std::vector<CustomDetection> results = GetParam().run(model, frame);
    ASSERT_EQ(results.size(), 1U);
    EXPECT_EQ(RefCount(frame), 2);

    // Moving the list moves the records: no image is copied or released.
    std::vector<CustomDetection> moved(std::move(results));
    EXPECT_TRUE(results.empty());  // NOLINT(bugprone-use-after-move): a moved-from vector is empty
    ASSERT_EQ(moved.size(), 1U);
    EXPECT_EQ(moved[0].classId, 0);
    EXPECT_EQ(moved[0].confidence, 0.75f);
    EXPECT_EQ(moved[0].box, cv::Rect(0, 0, 64, 48));
    EXPECT_EQ(moved[0].matrix.data, frame.data);
    EXPECT_TRUE(moved[0].gpuMatrix.empty());
    EXPECT_EQ(RefCount(frame), 2);

    // Move assignment over a list holding another image's record releases that image.
    const cv::Mat other(8, 8, CV_8UC1, cv::Scalar(7));
    std::vector<CustomDetection> target = GetParam().run(model, other);
    ASSERT_EQ(RefCount(other), 2);
    target = std::move(moved);
    EXPECT_EQ(RefCount(other), 1);
    EXPECT_EQ(RefCount(frame), 2);

    // Destroying the list destroys its record and with it the record's reference.
    target = std::vector<CustomDetection>();
    EXPECT_EQ(RefCount(frame), 1);
}

TEST_P(DetectionListTest, RecordOwningTheOnlyReferenceFreesItsImage) {
    StubModel model;
    std::vector<CustomDetection> results;
    {
        const cv::Mat frame(16, 16, CV_8UC1, cv::Scalar(1));
        results = GetParam().run(model, frame);
    }
    ASSERT_EQ(results.size(), 1U);
    ASSERT_EQ(RefCount(results[0].matrix), 1);
    EXPECT_EQ(results[0].matrix.at<unsigned char>(15, 15), 1);
    results.clear();  // AddressSanitizer reports the buffer if the record leaks it
}

INSTANTIATE_TEST_SUITE_P(
    IVEKCustomClass, DetectionListTest,
    testing::Values(InferenceCase{"PerCamera",
                                  [](StubModel& m, const cv::Mat& image) {
                                      return m.RunInference(image, "test_cam_01");
                                  }},
                    InferenceCase{"SingleFrame",
                                  [](StubModel& m, const cv::Mat& image) { return m.RunInference(image); }}),
    [](const testing::TestParamInfo<InferenceCase>& info) { return std::string(info.param.name); });

}  // namespace
