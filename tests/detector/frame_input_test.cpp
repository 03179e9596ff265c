#include "frame_input.h"

#include <gtest/gtest.h>

#include <limits>
#include <opencv2/core.hpp>
#include <vector>

namespace {

using firesmoke::FrameStatus;

struct InputCase {
    const char* name;
    cv::Mat image;
    FrameStatus expected;
};

std::vector<InputCase> Cases() {
    cv::Mat nanFloat(48, 64, CV_32FC3, cv::Scalar(0.5, 0.2, std::numeric_limits<double>::quiet_NaN()));
    cv::Mat big(200, 200, CV_8UC3, cv::Scalar(10, 20, 30));
    return {
        {"empty", cv::Mat(), FrameStatus::Empty},
        {"1x1", cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(9)), FrameStatus::TooSmall},
        {"1x10000", cv::Mat(1, 10000, CV_8UC3, cv::Scalar::all(9)), FrameStatus::TooSmall},
        {"10000x1", cv::Mat(10000, 1, CV_8UC3, cv::Scalar::all(9)), FrameStatus::TooSmall},
        {"gray8", cv::Mat(48, 64, CV_8UC1, cv::Scalar(77)), FrameStatus::Ok},
        {"two-channel", cv::Mat(48, 64, CV_8UC2, cv::Scalar(1, 2)), FrameStatus::Unsupported},
        {"bgra", cv::Mat(48, 64, CV_8UC4, cv::Scalar(1, 2, 3, 4)), FrameStatus::Ok},
        {"bgr16", cv::Mat(48, 64, CV_16UC3, cv::Scalar(65535, 256, 0)), FrameStatus::Ok},
        {"float-nan", nanFloat, FrameStatus::Ok},
        {"double", cv::Mat(48, 64, CV_64FC3, cv::Scalar(2.0, -1.0, 0.25)), FrameStatus::Ok},
        {"sub-image", big(cv::Rect(13, 7, 50, 60)), FrameStatus::Ok},
        {"three-dims", cv::Mat(std::vector<int>{4, 4, 4}, CV_8U, cv::Scalar(0)), FrameStatus::Unsupported},
    };
}

TEST(FrameInput, EachKindOfImageGetsItsStatusAndAnEightBitBgrFrame) {
    for (const auto& c : Cases()) {
        SCOPED_TRACE(c.name);
        cv::Mat bgr;
        firesmoke::FrameBuffers scratch;
        const FrameStatus status = firesmoke::NormaliseFrame(c.image, bgr, scratch);
        EXPECT_EQ(static_cast<int>(status), static_cast<int>(c.expected));
        if (status == FrameStatus::Ok) {
            EXPECT_EQ(bgr.type(), CV_8UC3);
            EXPECT_EQ(bgr.size(), c.image.size());
        }
        EXPECT_FALSE(firesmoke::Describe(status, c.image).empty());
    }
}

TEST(FrameInput, DepthConversionsKeepTheImageContent) {
    cv::Mat bgr;
    firesmoke::FrameBuffers scratch;
    // 16-bit full scale maps to 255, floats in [0, 1] to [0, 255], NaN to 0, beyond 1 clips.
    ASSERT_EQ(firesmoke::NormaliseFrame(cv::Mat(20, 20, CV_16UC3, cv::Scalar(65535, 32768, 0)), bgr, scratch),
              FrameStatus::Ok);
    EXPECT_EQ(bgr.at<cv::Vec3b>(5, 5), cv::Vec3b(255, 128, 0));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    ASSERT_EQ(firesmoke::NormaliseFrame(cv::Mat(20, 20, CV_32FC3, cv::Scalar(nan, 0.5, 7.0)), bgr, scratch),
              FrameStatus::Ok);
    EXPECT_EQ(bgr.at<cv::Vec3b>(5, 5), cv::Vec3b(0, 128, 255));
    ASSERT_EQ(firesmoke::NormaliseFrame(cv::Mat(20, 20, CV_8UC1, cv::Scalar(42)), bgr, scratch),
              FrameStatus::Ok);
    EXPECT_EQ(bgr.at<cv::Vec3b>(5, 5), cv::Vec3b(42, 42, 42));
}

TEST(FrameInput, PaddedRowsOfAnExternalBufferAreRead) {
    // 40x30 pixels in rows of 128 bytes: 8 bytes of padding that must never be read as pixels.
    std::vector<uchar> buffer(30 * 128, 0xEE);
    cv::Mat view(30, 40, CV_8UC3, buffer.data(), 128);
    view.setTo(cv::Scalar(1, 2, 3));
    cv::Mat bgr;
    firesmoke::FrameBuffers scratch;
    ASSERT_EQ(firesmoke::NormaliseFrame(view, bgr, scratch), FrameStatus::Ok);
    EXPECT_FALSE(view.isContinuous());
    EXPECT_EQ(cv::countNonZero(bgr.reshape(1) == 0xEE), 0);
}

}  // namespace
