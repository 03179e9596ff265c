// The plug-in boundary under bad input and odd life cycles: nothing may crash,
// throw or leak, and each case gets its documented answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "VEKCustomFS.h"

namespace {

class DetectorInput : public testing::Test {
protected:
    void SetUp() override {
        std::string labels;
        ASSERT_TRUE(detector.Initialize(FIRESMOKE_TEST_MODEL_DIR, 0.5f, labels));
    }
    void TearDown() override { EXPECT_TRUE(detector.Destroy()); }

    VEKCustomFS detector;
};

struct ImageCase {
    const char* name;
    cv::Mat image;
};

std::vector<ImageCase> BadImages() {
    static cv::Mat big(400, 600, CV_8UC3, cv::Scalar(30, 60, 90));
    static std::vector<uchar> padded(120 * 1000, 7);
    return {
        {"empty", cv::Mat()},
        {"1x1", cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(128))},
        {"1x10000", cv::Mat(1, 10000, CV_8UC3, cv::Scalar::all(128))},
        {"10000x1", cv::Mat(10000, 1, CV_8UC3, cv::Scalar::all(128))},
        {"gray 8-bit", cv::Mat(240, 320, CV_8UC1, cv::Scalar(128))},
        {"two channels", cv::Mat(240, 320, CV_8UC2, cv::Scalar(1, 2))},
        {"four channels", cv::Mat(240, 320, CV_8UC4, cv::Scalar(10, 20, 30, 255))},
        {"16-bit", cv::Mat(240, 320, CV_16UC3, cv::Scalar(40000, 30000, 20000))},
        {"float with NaN",
         cv::Mat(240, 320, CV_32FC3, cv::Scalar(0.6, std::numeric_limits<double>::quiet_NaN(), 2))},
        {"double", cv::Mat(240, 320, CV_64FC3, cv::Scalar(0.1, 0.2, 0.3))},
        {"8K", cv::Mat(4320, 7680, CV_8UC3, cv::Scalar::all(128))},
        {"sub-image", big(cv::Rect(17, 9, 333, 222))},
        {"padded rows", cv::Mat(100, 300, CV_8UC3, padded.data(), 1000)},
    };
}

TEST_F(DetectorInput, BadImagesNeverCrashAndUniformOnesYieldNothing) {
    for (const auto& c : BadImages()) {
        SCOPED_TRACE(c.name);
        // Every one of these is uniform or unusable, so nothing may be found in it.
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(detector.RunInference(c.image, "bad-input").empty());
            EXPECT_TRUE(detector.RunInference(c.image).empty());
        }
    }
}

TEST_F(DetectorInput, TheCallersPixelsAreNeverWritten) {
    // Frames over host-owned buffers, followed by frames that need conversion into
    // buffers of the same size: none of them may be written, then or later.
    std::vector<uchar> first(64 * 64 * 3, 77), gray(64 * 64, 200);
    std::vector<uint16_t> deep(64 * 64 * 3, 40000);
    const cv::Mat bgr(64, 64, CV_8UC3, first.data());
    const cv::Mat bgr16(64, 64, CV_16UC3, deep.data());
    const cv::Mat gray8(64, 64, CV_8UC1, gray.data());
    const cv::Mat sequence[] = {bgr, gray8, bgr16, bgr, bgr16, gray8, bgr};
    for (int round = 0; round < 2; ++round) {
        for (const cv::Mat& frame : sequence) {
            detector.RunInference(frame, "host-buffers");
            detector.RunInference(frame);
        }
    }
    EXPECT_EQ(std::count(first.begin(), first.end(), 77), static_cast<long>(first.size()));
    EXPECT_EQ(std::count(gray.begin(), gray.end(), 200), static_cast<long>(gray.size()));
    EXPECT_EQ(std::count(deep.begin(), deep.end(), 40000), static_cast<long>(deep.size()));
}

TEST_F(DetectorInput, OddCameraIdentifiersAreFine) {
    const cv::Mat frame(240, 320, CV_8UC3, cv::Scalar::all(90));
    const std::vector<std::string> ids = {"", std::string(1 << 20, 'c'), "\xff\xfe\x80 not utf-8",
                                          std::string("cam\0era", 7)};
    for (const auto& id : ids) {
        EXPECT_TRUE(detector.RunInference(frame, id).empty());
    }
}

TEST_F(DetectorInput, AnUnusableFrameIsLoggedOncePerCameraNotPerFrame) {
    testing::internal::CaptureStderr();
    for (int i = 0; i < 5; ++i) {
        detector.RunInference(cv::Mat(), "log-once-a");
        detector.RunInference(cv::Mat(), "log-once-b");
    }
    const std::string log = testing::internal::GetCapturedStderr();
    for (const char* camera : {"camera 'log-once-a'", "camera 'log-once-b'"}) {
        const auto first = log.find(camera);
        ASSERT_NE(first, std::string::npos) << log;
        EXPECT_EQ(log.find(camera, first + 1), std::string::npos) << "logged more than once:\n" << log;
    }
    EXPECT_NE(log.find("empty image"), std::string::npos) << log;
}

// Life cycles on a fresh detector: every sequence keeps the documented answers.
TEST(DetectorLifecycle, EverySequenceKeepsItsAnswers) {
    const cv::Mat frame(240, 320, CV_8UC3, cv::Scalar::all(90));
    std::string labels;
    CustomParams params;

    VEKCustomFS d;
    EXPECT_TRUE(d.ConfigureParameters(params));
    EXPECT_FALSE(d.OptimizeModel(true));
    EXPECT_TRUE(d.Destroy());
    EXPECT_TRUE(d.Destroy());
    EXPECT_TRUE(d.RunInference(frame, "c").empty());

    // Initialize twice, optimise twice.
    ASSERT_TRUE(d.Initialize(FIRESMOKE_TEST_MODEL_DIR, 0.5f, labels));
    EXPECT_EQ(labels, "fire,background,smoke");
    ASSERT_TRUE(d.Initialize(FIRESMOKE_TEST_MODEL_DIR, 0.5f, labels));
    EXPECT_TRUE(d.OptimizeModel(true));
    EXPECT_TRUE(d.OptimizeModel(true));
    EXPECT_TRUE(d.ConfigureParameters(params));

    // A failed Initialize leaves a detector that behaves as never initialised.
    std::string untouched = "unchanged";
    EXPECT_FALSE(d.Initialize("/nonexistent/model", 0.5f, untouched));
    EXPECT_EQ(untouched, "unchanged");
    EXPECT_FALSE(d.OptimizeModel(true));
    EXPECT_TRUE(d.RunInference(frame, "c").empty());

    // Thresholds outside [0, 1] are refused.
    EXPECT_FALSE(d.Initialize(FIRESMOKE_TEST_MODEL_DIR, std::numeric_limits<float>::quiet_NaN(), labels));
    EXPECT_FALSE(d.Initialize(FIRESMOKE_TEST_MODEL_DIR, 1.5f, labels));

    // Destroy, then Initialize again works; inference after Destroy is empty.
    ASSERT_TRUE(d.Initialize(FIRESMOKE_TEST_MODEL_DIR, 0.5f, labels));
    EXPECT_TRUE(d.Destroy());
    EXPECT_TRUE(d.RunInference(frame, "c").empty());
    EXPECT_TRUE(d.RunInference(frame).empty());
    EXPECT_FALSE(d.OptimizeModel(true));
    EXPECT_TRUE(d.ConfigureParameters(params));
    EXPECT_TRUE(d.Initialize(FIRESMOKE_TEST_MODEL_DIR, 0.5f, labels));
}

TEST(DetectorLifecycle, ConfigureParametersDescribesTheHostSettings) {
    VEKCustomFS d;
    CustomParams params;
    params.Parameters.resize(5);  // whatever the host passed in is replaced
    ASSERT_TRUE(d.ConfigureParameters(params));
    ASSERT_EQ(params.ROI_Config.size(), 1u);
    EXPECT_EQ(params.ROI_Config[0].Name, "ExclusiveROIs");
    ASSERT_EQ(params.Parameters.size(), 2u);
    EXPECT_EQ(params.Parameters[0].Name, "SmokeScore");
    EXPECT_EQ(params.Parameters[1].Name, "Sensitivity");
    // What ConfigureParameters reports is accepted back by SetParameters.
    EXPECT_TRUE(d.SetParameters(params));
}

}  // namespace
