// First stage: turns whatever image the caller passes into 8-bit BGR.
#pragma once

#include <opencv2/core.hpp>
#include <string>

namespace firesmoke {

/// Smallest side, in pixels, of an image worth looking at.
constexpr int kMinFrameSide = 16;
/// Largest side accepted (beyond 8K UHD a frame is more likely garbage than video).
constexpr int kMaxFrameSide = 16384;

/// @brief Result of normalising one frame.
enum class FrameStatus {
    Ok,           ///< bgr holds the frame (a view of the input when it already was 8-bit BGR)
    Empty,        ///< no pixels
    TooSmall,     ///< a side below kMinFrameSide
    TooLarge,     ///< a side above kMaxFrameSide
    Unsupported,  ///< a channel count other than 1, 3 or 4
};

/// @brief Owned storage for converted frames, reused across calls.
struct FrameBuffers {
    cv::Mat depth;   ///< the frame converted to 8 bits
    cv::Mat colour;  ///< the frame converted to three channels
};

/// @brief Normalises @p image to 8-bit, 3-channel BGR in @p bgr.
///
/// 1 channel is gray, 4 channels are BGRA, 2 channels are not supported. 16-bit
/// images are scaled by 1/256, floating-point images are taken as [0, 1] (values
/// outside are clipped, NaN becomes 0). Sub-images and padded rows are fine.
///
/// @p bgr is only ever assigned, never written into: it becomes a view of @p image
/// when that already is 8-bit BGR, or of @p buffers otherwise. So the caller's
/// pixels are never modified, now or by a later call.
FrameStatus NormaliseFrame(const cv::Mat& image, cv::Mat& bgr, FrameBuffers& buffers);

/// @brief A short text for a status, for log messages.
std::string Describe(FrameStatus status, const cv::Mat& image);

}  // namespace firesmoke
