#include "motion.h"

#include <opencv2/imgproc.hpp>

namespace firesmoke {

void MotionModel::Reset() {
    background_.release();
    previous_.release();
}

void MotionModel::Update(const cv::Mat& gray, double rate, cv::Mat& diff, cv::Mat& scratch) {
    if (background_.size() != gray.size() || previous_.size() != gray.size()) {
        gray.convertTo(background_, CV_32F);
        gray.copyTo(previous_);
        diff.create(gray.size(), CV_8U);
        diff.setTo(0);
        return;
    }
    background_.convertTo(scratch, CV_8U);
    cv::absdiff(gray, scratch, diff);
    cv::absdiff(gray, previous_, scratch);
    cv::max(diff, scratch, diff);
    cv::accumulateWeighted(gray, background_, rate);
    gray.copyTo(previous_);
}

std::size_t MotionModel::Bytes() const {
    return background_.total() * background_.elemSize() + previous_.total() * previous_.elemSize();
}

}  // namespace firesmoke
