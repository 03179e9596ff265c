#include "motion.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

namespace {

using firesmoke::MotionModel;
using firesmoke::MotionScratch;

TEST(MotionModel, DiffIsTheLargerChangeAgainstBackgroundAndPreviousFrame) {
    MotionModel motion;
    MotionScratch scratch;
    cv::Mat gray(30, 40, CV_8U, cv::Scalar(100)), diff;
    motion.Update(gray, 0.05, diff, scratch);
    ASSERT_EQ(diff.size(), gray.size());
    EXPECT_EQ(cv::countNonZero(diff), 0) << "the first frame has no motion";
    EXPECT_EQ(cv::countNonZero(motion.Previous() != gray), 0);

    // A square appears: it differs from both the background and the previous frame.
    const cv::Rect square(10, 10, 8, 8);
    gray(square).setTo(180);
    motion.Update(gray, 0.05, diff, scratch);
    EXPECT_EQ(diff.at<uchar>(12, 12), 80);
    EXPECT_EQ(diff.at<uchar>(0, 0), 0) << "outside the square";

    // It stays: the previous frame holds it, the slow background still does not
    // (after one frame at rate 0.05 the background has moved 4 of the 80 levels).
    motion.Update(gray, 0.05, diff, scratch);
    EXPECT_EQ(diff.at<uchar>(12, 12), 76);
}

TEST(MotionModel, BackgroundConvergesAtItsRateWithoutOverflow) {
    struct Case {
        double rate;
        int frames;
        int maxDiffAfter;  // what remains of a 200-level step
    };
    // (1 - rate)^frames of the 200 levels remain, plus rounding.
    const Case cases[] = {{0.05, 100, 2}, {0.5, 12, 1}, {0.999, 2, 1}, {1e-6, 10, 200}};
    for (const auto& c : cases) {
        MotionModel motion;
        MotionScratch scratch;
        cv::Mat gray(4, 4, CV_8U, cv::Scalar(20)), diff;
        motion.Update(gray, c.rate, diff, scratch);
        gray.setTo(220);
        for (int i = 0; i < c.frames; ++i) {
            motion.Update(gray, c.rate, diff, scratch);
        }
        double maxDiff = 0.0;
        cv::minMaxLoc(diff, nullptr, &maxDiff);
        EXPECT_LE(maxDiff, c.maxDiffAfter) << "rate " << c.rate << " after " << c.frames << " frames";
    }
}

TEST(MotionModel, ResetAndSizeChangeStartAfresh) {
    MotionModel motion;
    MotionScratch scratch;
    cv::Mat diff;
    motion.Update(cv::Mat(10, 10, CV_8U, cv::Scalar(0)), 0.05, diff, scratch);
    motion.Update(cv::Mat(20, 10, CV_8U, cv::Scalar(255)), 0.05, diff, scratch);
    EXPECT_EQ(diff.size(), cv::Size(10, 20));
    EXPECT_EQ(cv::countNonZero(diff), 0) << "a new size has no history";
    motion.Reset();
    EXPECT_TRUE(motion.Previous().empty());
    motion.Update(cv::Mat(20, 10, CV_8U, cv::Scalar(0)), 0.05, diff, scratch);
    EXPECT_EQ(cv::countNonZero(diff), 0) << "after Reset";
}

}  // namespace
