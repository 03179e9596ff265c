// Second stage: brings the normalised frame to the working size.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

namespace firesmoke {

/// @brief Downscales 8-bit BGR frames so that a flame a few pixels wide survives as a
/// weaker dot instead of falling between sampled pixels.
///
/// Along an axis reduced by more than 2, an output pixel is the mean of two bilinear
/// samples taken at the pixel centres of a grid twice as fine: it reads four input
/// pixels along that axis however large the reduction, which keeps 4K frames cheap, and
/// still sees any spot two pixels wide. Along an axis reduced by 2 or less, an output pixel is the exact area
/// average of the input pixels it covers.
///
/// The weights depend only on the two sizes. They are built on the first frame of a
/// size and kept, so once warm a downscaler allocates nothing. Output rows are shared
/// out over OpenCV's threads. When an output side is longer than the input's, both
/// axes interpolate between two neighbours instead, with the weights of OpenCV's
/// INTER_AREA for that case.
///
/// Not thread-safe: keep one per thread.
class FrameDownscaler {
public:
    /// @brief Writes @p bgr shrunk to @p size into @p work.
    /// @param bgr 8-bit, 3-channel image; views and padded rows are fine.
    /// @param size output size, both sides at least 1.
    /// @param work receives the result; reallocated only when its size or type differs.
    void Resize(const cv::Mat& bgr, cv::Size size, cv::Mat& work);

    /// Fixed-point scale of the weights: the weights of one output pixel sum to this.
    static constexpr int kOne = 256;
    /// Most input pixels that one output pixel reads along an axis.
    static constexpr int kMaxTaps = 4;

private:
    /// Which input pixels along one axis each output pixel reads, and how much of each.
    struct Axis {
        std::vector<int> index;             ///< `taps` input indices per output index
        std::vector<std::uint16_t> weight;  ///< their weights, in 1/kOne
        int taps = 0;                       ///< inputs read per output pixel, 1 to kMaxTaps

        /// @param linear interpolate between two neighbours (the frame is being enlarged)
        /// @param evenTaps round `taps` up to an even number (the horizontal pass takes pairs)
        void Build(int from, int to, bool linear, bool evenTaps);
    };

    void ShrinkRows(const cv::Mat& bgr, cv::Mat& work, int rowBegin, int rowEnd, std::int16_t* acc) const;

    cv::Size from_, to_;
    Axis x_, y_;
    std::vector<std::int16_t> xPairWeights_;  ///< x_'s weights, each pair repeated 4 times
    std::vector<std::int16_t> rows_;          ///< one accumulator row per stripe
};

}  // namespace firesmoke
