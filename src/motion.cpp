#include "motion.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace firesmoke {

namespace {
constexpr int kFixedShift = 8;  // background values are grey levels x 256
constexpr int kRateShift = 16;  // the learning rate is applied as k / 65536
}  // namespace

void MotionModel::Reset() {
    background_.release();
    previous_.release();
}

void MotionModel::Update(const cv::Mat& gray, double rate, cv::Mat& diff) {
    CV_Assert(gray.type() == CV_8UC1);
    diff.create(gray.size(), CV_8U);
    if (background_.size() != gray.size() || previous_.size() != gray.size()) {
        gray.convertTo(background_, CV_16U, 1 << kFixedShift);
        gray.copyTo(previous_);
        diff.setTo(0);
        return;
    }
    const int k =
        std::clamp(static_cast<int>(std::lround(rate * (1 << kRateShift))), 1, (1 << kRateShift) - 1);
    for (int y = 0; y < gray.rows; ++y) {
        const uchar* g = gray.ptr<uchar>(y);
        const uchar* p = previous_.ptr<uchar>(y);
        ushort* b = background_.ptr<ushort>(y);
        uchar* d = diff.ptr<uchar>(y);
        for (int x = 0; x < gray.cols; ++x) {
            const int bg = (b[x] + (1 << (kFixedShift - 1))) >> kFixedShift;  // rounded grey level
            d[x] = static_cast<uchar>(std::max(std::abs(g[x] - bg), std::abs(g[x] - p[x])));
            const int target = g[x] << kFixedShift;
            const long long step = static_cast<long long>(target - b[x]) * k / (1 << kRateShift);
            b[x] = static_cast<ushort>(b[x] + step);
        }
    }
    gray.copyTo(previous_);
}

}  // namespace firesmoke
