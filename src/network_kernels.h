// The arithmetic of the grid network's layers over channel-last float tensors: the
// vectorised convolutions, and the small element-wise layers around them.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>

namespace firesmoke {
namespace kernels {

/// Channels are computed eight at a time: a tensor that a convolution writes keeps
/// this many floats or a multiple of it per pixel, the extra channels being filler.
constexpr int kLanes = 8;

/// @brief Rounds @p channels up to a whole number of lanes.
constexpr int PaddedChannels(int channels) {
    return (channels + kLanes - 1) / kLanes * kLanes;
}

/// @brief A channel-last tensor inside a workspace. Channel c of pixel (y, x) is at
/// `Row(y)[x * pixelStride + c]`. Rows and columns down to -margin and up to
/// height + margin - 1 (width + margin - 1) may be read: a convolution's zero padding.
struct Tensor {
    float* data = nullptr;  ///< channel 0 of pixel (0, 0)
    int height = 0, width = 0;
    int channels = 0;              ///< channels that carry values
    int pixelStride = 0;           ///< floats per pixel, at least channels
    std::ptrdiff_t rowStride = 0;  ///< floats per row, margins included

    float* Row(int y) const { return data + static_cast<std::ptrdiff_t>(y) * rowStride; }
};

enum class Activation { kNone, kRelu, kSigmoid };

/// @brief Where a convolution's taps fall: kernel size, stride, dilation, and the
/// padding before the first row and column (the padding after follows from the sizes).
struct ConvGeometry {
    int kernelY = 1, kernelX = 1;
    int strideY = 1, strideX = 1;
    int dilationY = 1, dilationX = 1;
    int padY = 0, padX = 0;
};

/// @brief A dense convolution (every output channel sees every input channel), 1x1 ones included.
/// @param weights [kernelY][kernelX][in.channels][PaddedChannels(out.channels)], zeros past out.channels
/// @param bias    PaddedChannels(out.channels) values, zeros past out.channels
/// The output's pixelStride is a multiple of kLanes; the input is read one value at a time.
using DenseConvFn = void (*)(const Tensor& in, const Tensor& out, const ConvGeometry& g, const float* weights,
                             const float* bias, Activation act);

/// @brief A depthwise convolution: output channel c sees input channel c alone.
/// @param weights [kernelY][kernelX][PaddedChannels(channels)], zeros past the channels
/// @param bias    PaddedChannels(channels) values
/// Input and output have the same channels and the same pixelStride, a multiple of kLanes.
using DepthwiseConvFn = void (*)(const Tensor& in, const Tensor& out, const ConvGeometry& g,
                                 const float* weights, const float* bias, Activation act);

/// @brief The convolutions compiled for one instruction set.
struct ConvKernels {
    const char* name;  ///< "avx2" or "portable"
    DenseConvFn dense;
    DepthwiseConvFn depthwise;
};

/// @brief The fastest convolutions that this CPU runs, chosen once.
const ConvKernels& BestConvKernels();

/// @brief The convolutions without instructions beyond the compiler's baseline.
const ConvKernels& PortableConvKernels();

/// @brief The convolutions for AVX2 and FMA, or null when this build or CPU lacks them.
const ConvKernels* Avx2ConvKernels();

/// @brief out = in / 255 for an 8-bit image of in's channels and out's size.
void FromImage(const cv::Mat& image, const Tensor& out);

/// @brief out = a + b, over the channels that carry values.
void Add(const Tensor& a, const Tensor& b, const Tensor& out);

/// @brief out = in * scale per channel; scale is a 1x1 tensor of in's channels.
void ScaleChannels(const Tensor& in, const Tensor& scale, const Tensor& out);

/// @brief out (1x1) = the mean of in over its pixels, per channel.
void GlobalMean(const Tensor& in, const Tensor& out);

/// @brief out = act(in), over the channels that carry values.
void Activate(const Tensor& in, const Tensor& out, Activation act);

/// @brief Sets the margin of @p t to zero: the padding that convolutions read.
void ZeroMargin(const Tensor& t, int margin);

}  // namespace kernels
}  // namespace firesmoke
