#include "flicker.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace {

using firesmoke::FlickerMap;

// Feeds @p gray to @p map as the camera's next frame; @p previous is the one before.
void Feed(FlickerMap& map, const cv::Mat& gray, cv::Mat& previous) {
    map.Update(gray, previous);
    gray.copyTo(previous);
}

// Feeds @p frames grey frames whose value inside a 10x10 patch is valueOf(i) and
// returns the rate at the patch's centre.
int RateAfter(int frames, const std::function<int(int)>& valueOf) {
    FlickerMap map;
    cv::Mat gray(40, 40, CV_8U, cv::Scalar(100)), previous;
    for (int i = 0; i < frames; ++i) {
        gray(cv::Rect(15, 15, 10, 10)).setTo(valueOf(i));
        Feed(map, gray, previous);
    }
    EXPECT_EQ(map.Rate().at<uchar>(0, 0), 0) << "a pixel outside the patch never changed";
    return map.Rate().at<uchar>(20, 20);
}

TEST(FlickerMap, RateFollowsHowOftenABrightnessChangeReverses) {
    struct Case {
        const char* name;
        std::function<int(int)> valueOf;
        int minRate, maxRate;
    };
    const Case cases[] = {
        {"steady", [](int) { return 100; }, 0, 0},
        {"noise below the step keeps no direction",
         [](int i) { return 100 + (i % 2) * (FlickerMap::kMinStep - 1); }, 0, 0},
        {"an edge passing once", [](int i) { return i < 10 ? 60 : 200; }, 0, 0},
        {"a slow ramp up and down (a sign fading every 10 frames)",
         [](int i) { return (i / 10) % 2 == 0 ? 60 + 12 * (i % 10) : 180 - 12 * (i % 10); }, 1, 95},
        {"reverses every other frame", [](int i) { return (i / 2) % 2 == 0 ? 60 : 200; }, 96, 200},
        {"reverses on every frame (flames)", [](int i) { return i % 2 == 0 ? 60 : 200; }, 200, 255},
    };
    for (const auto& c : cases) {
        const int rate = RateAfter(40, c.valueOf);
        EXPECT_GE(rate, c.minRate) << c.name;
        EXPECT_LE(rate, c.maxRate) << c.name;
    }
}

// The rule per pixel, written plainly: the map computes many pixels at once and
// must agree with it exactly, in every lane and in the columns left over.
void ReferenceUpdate(const cv::Mat& gray, const cv::Mat& previous, cv::Mat& direction, cv::Mat& rate) {
    for (int y = 0; y < gray.rows; ++y) {
        for (int x = 0; x < gray.cols; ++x) {
            const int step = gray.at<uchar>(y, x) - previous.at<uchar>(y, x);
            int r = rate.at<uchar>(y, x);
            r -= (r + 7) / 8;
            schar& d = direction.at<schar>(y, x);
            if (std::abs(step) >= FlickerMap::kMinStep) {
                const schar dir = step > 0 ? 1 : -1;
                if (d == -dir) {
                    r = std::min(255, r + FlickerMap::kReversalGain);
                }
                d = dir;
            }
            rate.at<uchar>(y, x) = static_cast<uchar>(r);
        }
    }
}

TEST(FlickerMap, EveryPixelFollowsTheRuleExactly) {
    // 37 columns: two blocks of 16 and 5 left over. Random pixels cross the step in
    // both directions and stay below it; the first rows reverse fully on every frame,
    // which drives the rate to its highest value.
    cv::RNG rng(7);
    for (const cv::Size size : {cv::Size(37, 9), cv::Size(16, 3), cv::Size(5, 4)}) {
        FlickerMap map;
        cv::Mat gray(size, CV_8U), previous, direction(size, CV_8S, cv::Scalar(0)),
            rate(size, CV_8U, cv::Scalar(0));
        for (int i = 0; i < 40; ++i) {
            rng.fill(gray, cv::RNG::UNIFORM, 0, 256);
            gray.rowRange(0, 2).setTo(i % 2 == 0 ? 0 : 255);
            if (i > 0) {
                ReferenceUpdate(gray, previous, direction, rate);
            }
            Feed(map, gray, previous);
            ASSERT_EQ(cv::norm(map.Rate(), rate, cv::NORM_INF), 0.0)
                << size << " frame " << i << ": the rate differs from the rule";
        }
        // Each frame takes 1/8 (rounded up) and a reversal adds 32: 249 - 32 + 32.
        EXPECT_EQ(map.Rate().at<uchar>(0, size.width - 1), 249) << size << ": reversing on every frame";
    }
}

TEST(FlickerMap, RateDecaysWhenTheFlickerStops) {
    FlickerMap map;
    cv::Mat gray(20, 20, CV_8U, cv::Scalar(100)), previous;
    for (int i = 0; i < 30; ++i) {
        gray.setTo(i % 2 == 0 ? 60 : 200);
        Feed(map, gray, previous);
    }
    const int flickering = map.Rate().at<uchar>(10, 10);
    for (int i = 0; i < 30; ++i) {
        Feed(map, gray, previous);
    }
    EXPECT_GE(flickering, 200);
    EXPECT_LT(map.Rate().at<uchar>(10, 10), 5) << "30 still frames after flickering at " << flickering;
}

TEST(FlickerMap, FlameShareCountsOnlyFlameColouredPixels) {
    FlickerMap map;
    const firesmoke::ColourConfig colour;
    // Left half: grey pixels that flicker. Right half: orange pixels, of which the
    // top half flicker and the bottom half hold still.
    cv::Mat work(40, 40, CV_8UC3, cv::Scalar(120, 120, 120));
    const cv::Rect orange(20, 0, 20, 40), orangeTop(20, 0, 20, 20), greyHalf(0, 0, 20, 40);
    cv::Mat gray, previous;
    for (int i = 0; i < 20; ++i) {
        const int swing = i % 2 == 0 ? 0 : 60;
        work(greyHalf).setTo(cv::Scalar(80 + swing, 80 + swing, 80 + swing));
        work(orange).setTo(cv::Scalar(20, 120, 230));
        work(orangeTop).setTo(cv::Scalar(20, 100 + swing, 190 + swing / 2));
        cv::cvtColor(work, gray, cv::COLOR_BGR2GRAY);
        Feed(map, gray, previous);
    }
    EXPECT_NEAR(map.FlameShare(work, cv::Rect(0, 0, 40, 40), colour, 96), 0.5, 1e-9)
        << "half of the orange pixels flicker; the flickering grey ones do not count";
    EXPECT_EQ(map.FlameShare(work, greyHalf, colour, 96), 0.0) << "a box without flame colour";
    EXPECT_EQ(map.FlameShare(work, cv::Rect(100, 100, 10, 10), colour, 96), 0.0) << "a box outside the map";
    map.Reset();
    EXPECT_TRUE(map.Rate().empty());
    EXPECT_EQ(map.FlameShare(work, orange, colour, 96), 0.0) << "after Reset";
}

}  // namespace
