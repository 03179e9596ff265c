#include "downscale.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core/hal/intrin.hpp>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace firesmoke {

void FrameDownscaler::Axis::Build(int from, int to, bool linear, bool evenTaps) {
    // (input index, share) pairs of each output pixel, in index order.
    std::vector<std::vector<std::pair<int, double>>> shares(static_cast<std::size_t>(to));
    const auto add = [&](int i, int j, double share) {
        auto& s = shares[static_cast<std::size_t>(i)];
        if (share <= 1e-9) {
            return;
        }
        if (!s.empty() && s.back().first == j) {
            s.back().second += share;
        } else {
            s.emplace_back(j, share);
        }
    };
    const double scale = static_cast<double>(from) / to;
    if (linear) {
        // Enlarging: two neighbours, weighted as OpenCV's INTER_AREA does when it
        // enlarges, down to the reciprocal and the float, so that an output that lands
        // exactly on an input pixel picks the same one.
        const double inverse = static_cast<double>(to) / from, step = 1.0 / inverse;
        for (int i = 0; i < to; ++i) {
            const int j = static_cast<int>(std::floor(i * step));
            const float fx = static_cast<float>((i + 1) - (j + 1) * inverse);
            const double frac = fx <= 0.0f ? 0.0 : fx - std::floor(fx);
            if (j >= from - 1) {
                add(i, from - 1, 1.0);
            } else {
                add(i, j, 1.0 - frac);
                add(i, j + 1, frac);
            }
        }
    } else if (from > 2 * to) {
        // Large reduction: the mean of two bilinear samples per output pixel, at the
        // pixel centres of a grid twice as fine. Reads 4 of the `scale` input pixels
        // instead of all of them, and still sees any spot two pixels wide.
        const double step = scale / 2.0;
        for (int i = 0; i < to; ++i) {
            for (int t = 2 * i; t < 2 * i + 2; ++t) {
                const double at = (t + 0.5) * step - 0.5;
                const int j = std::min(from - 2, std::max(0, static_cast<int>(std::floor(at))));
                const double frac = std::min(1.0, std::max(0.0, at - j));
                add(i, j, 0.5 * (1.0 - frac));
                add(i, j + 1, 0.5 * frac);
            }
        }
    } else {
        // Small reduction: output pixel i averages [i * scale, (i + 1) * scale) of the
        // input, each input pixel weighing by how much of it lies inside.
        for (int i = 0; i < to; ++i) {
            const double lo = i * scale;
            const double hi = i + 1 == to ? from : (i + 1) * scale;
            for (int j = std::min(from - 1, static_cast<int>(std::floor(lo))); j < from && j < hi; ++j) {
                add(i, j, (std::min<double>(j + 1, hi) - std::max<double>(j, lo)) / scale);
            }
        }
    }
    taps = 1;
    for (const auto& sh : shares) {
        taps = std::max(taps, static_cast<int>(sh.size()));
    }
    if (evenTaps && taps % 2 != 0) {
        ++taps;
    }
    CV_Assert(taps <= kMaxTaps);
    // Every output pixel reads `taps` inputs, padding with weight 0, so that the loops
    // below have a fixed length.
    index.assign(static_cast<std::size_t>(to) * static_cast<std::size_t>(taps), 0);
    weight.assign(index.size(), 0);
    for (int i = 0; i < to; ++i) {
        const auto& sh = shares[static_cast<std::size_t>(i)];
        const std::size_t at = static_cast<std::size_t>(i) * static_cast<std::size_t>(taps);
        // Round the running sum, not each weight: the weights of a pixel then add up to
        // kOne exactly (a flat area keeps its value) and none goes negative.
        double sum = 0.0;
        int given = 0;
        for (std::size_t k = 0; k < sh.size(); ++k) {
            sum += sh[k].second;
            const int upTo = k + 1 == sh.size() ? kOne : static_cast<int>(std::lround(sum * kOne));
            index[at + k] = sh[k].first;
            weight[at + k] = static_cast<std::uint16_t>(upTo - given);
            given = upTo;
        }
        for (std::size_t k = sh.size(); k < static_cast<std::size_t>(taps); ++k) {
            index[at + k] = sh.empty() ? 0 : sh.back().first;
        }
    }
}

namespace {

// ThreadSanitizer does not see the synchronisation inside OpenCV's thread pool (TBB is
// not instrumented): tell it that the stripes start after the caller's last use of the
// buffers and end before the caller reads them.
#if defined(__SANITIZE_THREAD__)
void HandOver(const void* token) {
    __tsan_release(const_cast<void*>(token));
}
void TakeOver(const void* token) {
    __tsan_acquire(const_cast<void*>(token));
}
#else
void HandOver(const void*) {}
void TakeOver(const void*) {}
#endif

// Sums are kept as int16 offset by -32768 so that the horizontal pass can use signed
// 16-bit multiply-adds. The weights of a pixel add up to kOne, so the weighted sum of
// 8-bit values, below 65536, fits.
constexpr unsigned kOffset = 1u << 15;

// Weighted sum of T input rows into acc.
template <int T>
void SumRows(const uchar* const* rows, const std::uint16_t* w, int n, std::int16_t* acc) {
    for (int i = 0; i < n; ++i) {
        unsigned s = 0;
        for (int k = 0; k < T; ++k) {
            s += unsigned{w[k]} * rows[k][i];
        }
        acc[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(s ^ kOffset));
    }
}

template <int T>
void SumRowsOf(const cv::Mat& bgr, const int* index, const std::uint16_t* w, std::int16_t* acc) {
    const uchar* rows[T];
    for (int k = 0; k < T; ++k) {
        rows[k] = bgr.ptr<uchar>(index[k]);
    }
    SumRows<T>(rows, w, bgr.cols * 3, acc);
}

// Weighted sum of T columns of acc per output pixel and channel, rounded back to 8 bits.
// Since the weights add up to kOne, the offset comes back as kOffset * kOne.
constexpr std::int32_t kBias =
    static_cast<std::int32_t>(kOffset * FrameDownscaler::kOne + (1u << 15));  // + rounding

#if CV_SIMD128
// T / 2 pairs of taps: the two input pixels of a pair are interleaved channel by
// channel and multiplied-and-added against their weights in one instruction.
// Reads one int16 past the last input pixel: acc is padded.
template <int T>
void SumColumns(const std::int16_t* acc, const int* index, const std::int16_t* pairWeights, int width,
                uchar* dst) {
    static_assert(T % 2 == 0, "taps come in pairs");
    const cv::v_int32x4 bias = cv::v_setall_s32(kBias);
    for (int ox = 0; ox < width; ++ox, dst += 3) {
        cv::v_int32x4 sum = bias;
        for (int p = 0; p < T / 2; ++p, index += 2, pairWeights += 8) {
            cv::v_int16x8 both, unused;
            cv::v_zip(cv::v_load_low(acc + 3 * index[0]), cv::v_load_low(acc + 3 * index[1]), both, unused);
            sum += cv::v_dotprod(both, cv::v_load(pairWeights));
        }
        int out[4];
        cv::v_store(out, cv::v_shr<16>(sum));
        dst[0] = static_cast<uchar>(out[0]);
        dst[1] = static_cast<uchar>(out[1]);
        dst[2] = static_cast<uchar>(out[2]);
    }
}
#else
template <int T>
void SumColumns(const std::int16_t* acc, const int* index, const std::int16_t* pairWeights, int width,
                uchar* dst) {
    for (int ox = 0; ox < width; ++ox, dst += 3) {
        std::int32_t b = kBias, g = kBias, r = kBias;
        for (int p = 0; p < T / 2; ++p, index += 2, pairWeights += 8) {
            for (int k = 0; k < 2; ++k) {
                const std::int16_t* a = acc + 3 * index[k];
                const std::int32_t w = pairWeights[k];
                b += w * a[0];
                g += w * a[1];
                r += w * a[2];
            }
        }
        dst[0] = static_cast<uchar>(b >> 16);
        dst[1] = static_cast<uchar>(g >> 16);
        dst[2] = static_cast<uchar>(r >> 16);
    }
}
#endif

}  // namespace

void FrameDownscaler::ShrinkRows(const cv::Mat& bgr, cv::Mat& work, int rowBegin, int rowEnd,
                                 std::int16_t* acc) const {
    for (int oy = rowBegin; oy < rowEnd; ++oy) {
        const std::size_t at = static_cast<std::size_t>(oy) * static_cast<std::size_t>(y_.taps);
        const int* iy = &y_.index[at];
        const std::uint16_t* wy = &y_.weight[at];
        switch (y_.taps) {
            case 1:
                SumRowsOf<1>(bgr, iy, wy, acc);
                break;
            case 2:
                SumRowsOf<2>(bgr, iy, wy, acc);
                break;
            case 3:
                SumRowsOf<3>(bgr, iy, wy, acc);
                break;
            default:
                SumRowsOf<4>(bgr, iy, wy, acc);
                break;
        }
        uchar* dst = work.ptr<uchar>(oy);
        const int* ix = x_.index.data();
        const std::int16_t* wx = xPairWeights_.data();
        if (x_.taps == 2) {
            SumColumns<2>(acc, ix, wx, to_.width, dst);
        } else {
            SumColumns<4>(acc, ix, wx, to_.width, dst);
        }
    }
}

void FrameDownscaler::Resize(const cv::Mat& bgr, cv::Size size, cv::Mat& work) {
    CV_Assert(bgr.type() == CV_8UC3 && size.width > 0 && size.height > 0);
    if (bgr.size() == size) {
        bgr.copyTo(work);
        return;
    }
    if (bgr.size() != from_ || size != to_) {
        // An output side longer than the input's: both axes interpolate.
        const bool enlarging = bgr.cols < size.width || bgr.rows < size.height;
        x_.Build(bgr.cols, size.width, enlarging, true);
        y_.Build(bgr.rows, size.height, enlarging, false);
        // Each pair of horizontal weights, repeated for the interleaved channels.
        xPairWeights_.resize(x_.weight.size() * 4);
        for (std::size_t k = 0; k < x_.weight.size(); k += 2) {
            for (std::size_t c = 0; c < 4; ++c) {
                xPairWeights_[4 * k + 2 * c] = static_cast<std::int16_t>(x_.weight[k]);
                xPairWeights_[4 * k + 2 * c + 1] = static_cast<std::int16_t>(x_.weight[k + 1]);
            }
        }
        from_ = bgr.size();
        to_ = size;
    }
    work.create(size, CV_8UC3);

    // A few stripes of rows, each with its own accumulator row (one pixel longer: the
    // horizontal pass reads a value past the last one).
    const int stripes = std::max(1, std::min({cv::getNumThreads(), 8, size.height}));
    const std::size_t n = static_cast<std::size_t>(bgr.cols) * 3 + 3;
    if (rows_.size() < n * static_cast<std::size_t>(stripes)) {
        rows_.resize(n * static_cast<std::size_t>(stripes));
    }
    // A loop body of its own rather than a lambda: OpenCV wraps a lambda in a
    // std::function, which allocates for a capture of this size.
    struct Stripes : cv::ParallelLoopBody {
        const FrameDownscaler& self;
        const cv::Mat& bgr;
        cv::Mat& work;
        std::int16_t* rows;
        std::size_t n;
        int count;

        Stripes(const FrameDownscaler& d, const cv::Mat& in, cv::Mat& out, std::int16_t* r, std::size_t width,
                int k)
            : self(d), bgr(in), work(out), rows(r), n(width), count(k) {}
        void operator()(const cv::Range& range) const override {
            TakeOver(&self);
            const int h = self.to_.height;
            for (int s = range.start; s < range.end; ++s) {
                self.ShrinkRows(bgr, work, h * s / count, h * (s + 1) / count,
                                rows + n * static_cast<std::size_t>(s));
            }
            HandOver(&self);
        }
    };
    HandOver(this);
    cv::parallel_for_(cv::Range(0, stripes), Stripes(*this, bgr, work, rows_.data(), n, stripes));
    TakeOver(this);
}

}  // namespace firesmoke
