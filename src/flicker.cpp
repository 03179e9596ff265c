#include "flicker.h"

#include <algorithm>

namespace firesmoke {

void FlickerMap::Reset() {
    direction_.release();
    rate_.release();
}

void FlickerMap::Update(const cv::Mat& gray, const cv::Mat& previous) {
    CV_Assert(gray.type() == CV_8UC1);
    if (previous.size() != gray.size() || rate_.size() != gray.size()) {
        CV_Assert(previous.empty() || previous.type() == CV_8UC1);
        direction_.create(gray.size(), CV_8S);
        direction_.setTo(0);
        rate_.create(gray.size(), CV_8U);
        rate_.setTo(0);
        return;
    }
    for (int y = 0; y < gray.rows; ++y) {
        const uchar* g = gray.ptr<uchar>(y);
        const uchar* p = previous.ptr<uchar>(y);
        schar* d = direction_.ptr<schar>(y);
        uchar* r = rate_.ptr<uchar>(y);
        for (int x = 0; x < gray.cols; ++x) {
            const int step = static_cast<int>(g[x]) - static_cast<int>(p[x]);
            int rate = r[x] - ((r[x] + (1 << kDecayShift) - 1) >> kDecayShift);  // reaches 0
            if (step >= kMinStep || step <= -kMinStep) {
                const schar dir = step > 0 ? 1 : -1;
                if (d[x] != 0 && d[x] != dir) {
                    rate = std::min(255, rate + kReversalGain);
                }
                d[x] = dir;
            }
            r[x] = static_cast<uchar>(rate);
        }
    }
}

double FlickerMap::FlameShare(const cv::Mat& work, const cv::Rect& box, const ColourConfig& colour,
                              int minRate) const {
    const cv::Rect r = box & cv::Rect(0, 0, rate_.cols, rate_.rows) & cv::Rect(0, 0, work.cols, work.rows);
    int flame = 0, flickering = 0;
    for (int y = r.y; y < r.y + r.height; ++y) {
        const uchar* p = work.ptr<uchar>(y) + 3 * r.x;
        const uchar* f = rate_.ptr<uchar>(y) + r.x;
        for (int x = 0; x < r.width; ++x, p += 3) {
            if (colour.IsFlame(p[0], p[1], p[2])) {
                ++flame;
                flickering += f[x] >= minRate ? 1 : 0;
            }
        }
    }
    return flame > 0 ? flickering / static_cast<double>(flame) : 0.0;
}

}  // namespace firesmoke
