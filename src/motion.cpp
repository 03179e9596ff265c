#include "motion.h"

#include <algorithm>

namespace firesmoke {

namespace {
constexpr int kFixedShift = 8;  // background values are grey levels x 256
}  // namespace

void MotionModel::Reset() {
    background_.release();
    previous_.release();
}

void MotionModel::Update(const cv::Mat& gray, double rate, cv::Mat& diff, MotionScratch& scratch) {
    CV_Assert(gray.type() == CV_8UC1);
    diff.create(gray.size(), CV_8U);
    if (background_.size() != gray.size() || previous_.size() != gray.size()) {
        gray.convertTo(background_, CV_16U, 1 << kFixedShift);
        gray.copyTo(previous_);
        diff.setTo(0);
        return;
    }
    // Whole-image operations, each one vectorised pass: the change against the
    // rounded background, the change against the previous frame, the larger of
    // the two; then the background moves `rate` of the way to the new frame
    // (rounded to the nearest 1/256 grey level).
    background_.convertTo(scratch.background8, CV_8U, 1.0 / (1 << kFixedShift));
    cv::absdiff(gray, scratch.background8, diff);
    cv::absdiff(gray, previous_, scratch.background8);
    cv::max(diff, scratch.background8, diff);
    gray.convertTo(scratch.target16, CV_16U, 1 << kFixedShift);
    const double r = std::clamp(rate, 0.0, 1.0);
    cv::addWeighted(background_, 1.0 - r, scratch.target16, r, 0.0, background_);
    gray.copyTo(previous_);
}

}  // namespace firesmoke
