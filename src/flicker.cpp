#include "flicker.h"

#include <algorithm>
#include <opencv2/core/hal/intrin.hpp>

namespace firesmoke {

namespace {

// One pixel: the decay, then a reversal when a large enough change goes against the
// last direction.
inline void UpdatePixel(uchar g, uchar p, schar& d, uchar& r) {
    const int step = static_cast<int>(g) - static_cast<int>(p);
    int rate = r - ((r + (1 << FlickerMap::kDecayShift) - 1) >> FlickerMap::kDecayShift);  // reaches 0
    if (step >= FlickerMap::kMinStep || step <= -FlickerMap::kMinStep) {
        const schar dir = step > 0 ? 1 : -1;
        if (d != 0 && d != dir) {
            rate = std::min(255, rate + FlickerMap::kReversalGain);
        }
        d = dir;
    }
    r = static_cast<uchar>(rate);
}

#if CV_SIMD128
// The same for 8 pixels in 16-bit lanes; comparisons give masks of all ones (-1).
inline void UpdateLanes(const cv::v_int16x8& g, const cv::v_int16x8& p, cv::v_int16x8& d, cv::v_int16x8& r) {
    const cv::v_int16x8 step = g - p;
    const cv::v_int16x8 up = step >= cv::v_setall_s16(FlickerMap::kMinStep);
    const cv::v_int16x8 down = step <= cv::v_setall_s16(-FlickerMap::kMinStep);
    const cv::v_int16x8 zero = cv::v_setzero_s16();
    const cv::v_int16x8 reversed = (up & (d < zero)) | (down & (d > zero));
    const cv::v_int16x8 decayed =
        r - cv::v_shr<FlickerMap::kDecayShift>(r + cv::v_setall_s16((1 << FlickerMap::kDecayShift) - 1));
    r = cv::v_min(decayed + (reversed & cv::v_setall_s16(FlickerMap::kReversalGain)), cv::v_setall_s16(255));
    d = cv::v_select(up | down, down - up, d);  // masks: up gives +1, down -1
}
#endif

void UpdateRow(const uchar* g, const uchar* p, schar* d, uchar* r, int cols) {
    int x = 0;
#if CV_SIMD128
    for (; x + 16 <= cols; x += 16) {
        cv::v_uint16x8 g0, g1, p0, p1, r0, r1;
        cv::v_int16x8 d0, d1;
        cv::v_expand(cv::v_load(g + x), g0, g1);
        cv::v_expand(cv::v_load(p + x), p0, p1);
        cv::v_expand(cv::v_load(r + x), r0, r1);
        cv::v_expand(cv::v_load(d + x), d0, d1);
        cv::v_int16x8 s0 = cv::v_reinterpret_as_s16(r0), s1 = cv::v_reinterpret_as_s16(r1);
        UpdateLanes(cv::v_reinterpret_as_s16(g0), cv::v_reinterpret_as_s16(p0), d0, s0);
        UpdateLanes(cv::v_reinterpret_as_s16(g1), cv::v_reinterpret_as_s16(p1), d1, s1);
        cv::v_store(r + x, cv::v_pack_u(s0, s1));
        cv::v_store(d + x, cv::v_pack(d0, d1));
    }
#endif
    for (; x < cols; ++x) {
        UpdatePixel(g[x], p[x], d[x], r[x]);
    }
}

}  // namespace

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
        UpdateRow(gray.ptr<uchar>(y), previous.ptr<uchar>(y), direction_.ptr<schar>(y), rate_.ptr<uchar>(y),
                  gray.cols);
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
