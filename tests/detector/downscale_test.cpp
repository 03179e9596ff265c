#include "downscale.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace {

struct SizeCase {
    const char* name;
    cv::Size from, to;
};

// Random pixels are the worst case for fixed-point weights: neighbours differ by up to 255.
cv::Mat Noise(cv::Size size) {
    cv::Mat m(size, CV_8UC3);
    cv::RNG rng(7);
    rng.fill(m, cv::RNG::UNIFORM, 0, 256);
    return m;
}

// The same filter built from OpenCV calls: along an axis reduced by more than 2, a
// bilinear resize to twice the output size; then an area average down to the output.
// Enlarging is OpenCV's INTER_AREA as it stands.
cv::Mat Reference(const cv::Mat& in, cv::Size to) {
    cv::Mat half, out;
    if (in.cols < to.width || in.rows < to.height) {
        cv::resize(in, out, to, 0, 0, cv::INTER_AREA);
        return out;
    }
    const cv::Size mid(in.cols > 2 * to.width ? 2 * to.width : in.cols,
                       in.rows > 2 * to.height ? 2 * to.height : in.rows);
    cv::resize(in, half, mid, 0, 0, cv::INTER_LINEAR);
    cv::resize(half, out, to, 0, 0, cv::INTER_AREA);
    return out;
}

TEST(FrameDownscaler, MatchesTheSameFilterBuiltFromOpenCvCalls) {
    const std::vector<SizeCase> cases = {
        {"1080p to network input", {1920, 1080}, {384, 224}},
        {"4K to network input", {3840, 2160}, {384, 224}},
        {"720p to colour work size", {1280, 720}, {320, 180}},
        {"slight reduction", {401, 229}, {384, 224}},
        {"one axis kept", {384, 900}, {384, 224}},
        {"odd sizes", {1001, 777}, {97, 31}},
        {"to one pixel", {50, 40}, {1, 1}},
        {"QVGA to network input (wider, less tall)", {320, 240}, {384, 224}},
        {"QCIF to network input (enlarged)", {176, 144}, {384, 224}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat in = Noise(c.from);
        const cv::Mat expected = Reference(in, c.to);
        cv::Mat got;
        firesmoke::FrameDownscaler down;
        down.Resize(in, c.to, got);
        ASSERT_EQ(got.size(), c.to);
        ASSERT_EQ(got.type(), CV_8UC3);
        cv::Mat diff;
        cv::absdiff(got, expected, diff);
        double worst = 0.0;
        cv::minMaxLoc(diff.reshape(1), nullptr, &worst);
        // Fixed-point weights, and one rounding instead of two: off by a step here and there.
        EXPECT_LE(worst, 2.0) << "largest difference from the reference";
        EXPECT_LT(cv::mean(diff.reshape(1))[0], 0.5) << "mean difference from the reference";
    }
}

TEST(FrameDownscaler, FlatImageKeepsItsValueExactly) {
    for (int v : {0, 1, 128, 254, 255}) {
        SCOPED_TRACE(v);
        const cv::Mat in(1080, 1920, CV_8UC3, cv::Scalar(v, 255 - v, v / 2));
        cv::Mat got;
        firesmoke::FrameDownscaler().Resize(in, {384, 224}, got);
        EXPECT_EQ(cv::norm(got, cv::Mat(got.size(), CV_8UC3, cv::Scalar(v, 255 - v, v / 2)), cv::NORM_INF),
                  0.0);
    }
}

// A flame two pixels wide must leave a trace wherever it falls, not only when it hits
// a sampled pixel.
TEST(FrameDownscaler, SmallBrightSpotLeavesATraceWhereverItFalls) {
    firesmoke::FrameDownscaler down;
    cv::Mat out;
    for (int x = 700; x < 710; ++x) {
        for (int y = 500; y < 506; ++y) {
            cv::Mat in = cv::Mat::zeros(1080, 1920, CV_8UC3);
            cv::rectangle(in, cv::Rect(x, y, 2, 2), cv::Scalar(40, 160, 255), cv::FILLED);
            down.Resize(in, {384, 224}, out);
            double brightest = 0.0;
            cv::minMaxLoc(out.reshape(1), nullptr, &brightest);
            // The spot fills a sixth of a 5 x 4.8 pixel cell, 42 of 255 if spread evenly;
            // a filter that samples single pixels drops it to 0 at some positions.
            EXPECT_GE(brightest, 8.0) << "spot at (" << x << ", " << y << ")";
        }
    }
}

TEST(FrameDownscaler, ViewsSizeChangesAndEnlargingGiveTheReferenceResult) {
    const cv::Mat big = Noise({2000, 1200});
    struct Step {
        const char* name;
        cv::Mat in;
        cv::Size to;
    };
    const std::vector<Step> steps = {
        {"padded view", big(cv::Rect(37, 11, 1920, 1080)), {384, 224}},
        {"new input size", big(cv::Rect(0, 0, 1280, 720)), {384, 224}},
        {"back to the first size", big(cv::Rect(37, 11, 1920, 1080)), {384, 224}},
        {"new output size", big(cv::Rect(0, 0, 1280, 720)), {320, 180}},
        {"enlarging", big(cv::Rect(0, 0, 200, 100)), {384, 224}},
        {"mixed", big(cv::Rect(0, 0, 1000, 100)), {384, 224}},
        {"same size", big(cv::Rect(5, 5, 384, 224)), {384, 224}},
    };
    firesmoke::FrameDownscaler down;  // one object and one output, as a camera's thread keeps them
    cv::Mat got;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        down.Resize(s.in, s.to, got);
        ASSERT_EQ(got.size(), s.to);
        EXPECT_LE(cv::norm(got, Reference(s.in, s.to), cv::NORM_INF), 2.0);
    }
}

TEST(FrameDownscaler, WarmCallReusesTheOutput) {
    const cv::Mat in = Noise({1920, 1080});
    firesmoke::FrameDownscaler down;
    cv::Mat out;
    down.Resize(in, {384, 224}, out);
    const uchar* data = out.data;
    down.Resize(in, {384, 224}, out);
    EXPECT_EQ(out.data, data) << "the output was reallocated for a frame of the same size";
}

}  // namespace
