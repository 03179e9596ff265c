// The grid network run by the detector's own kernels instead of cv::dnn's forward
// pass: the layers are read from the network that cv::dnn loaded from ONNX and laid
// out once as a plan, so that a pass allocates nothing and stays on the caller's
// thread.
#pragma once

#include <memory>
#include <opencv2/dnn.hpp>
#include <string>
#include <vector>

#include "network_kernels.h"

namespace firesmoke {

/// @brief A small convolutional network over an 8-bit image, planned for one input size.
///
/// It runs the layers that the detector's networks are built of: convolutions (dense
/// or depthwise, any kernel, stride, dilation and explicit padding), ReLU, sigmoid,
/// sums of two tensors, global average pooling and per-channel scaling. A ReLU or a
/// sigmoid that alone reads a convolution's output is folded into it.
///
/// Compile() checks the layers it understands by their parameters only; callers check
/// the plan's output against cv::dnn's (CloseTo) before relying on it.
///
/// Thread-safe: Run() is const, and each thread brings its own Workspace.
class DirectNetwork {
public:
    /// @brief Buffers of one thread's passes, sized on its first pass.
    struct Workspace {
        std::vector<float> arena;
    };

    /// @brief Plans @p net for @p input (width x height) 8-bit images with @p channels channels.
    /// @param kernels the convolutions to use (BestConvKernels() unless a test picks others)
    /// @return the plan, or null with @p why saying which layer it cannot run
    static std::unique_ptr<DirectNetwork> Compile(cv::dnn::Net& net, cv::Size input, int channels,
                                                  const kernels::ConvKernels& kernels, std::string& why);

    /// @brief Runs the network on @p image, scaled by 1/255 as cv::dnn::blobFromImage(image, 1/255) would.
    /// @param out receives the output as a 1xCxHxW float blob; reallocated only when its shape differs.
    void Run(const cv::Mat& image, cv::Mat& out, Workspace& ws) const;

    /// @brief The output's shape, {1, C, H, W}.
    std::vector<int> OutputShape() const;

    /// @brief Floats of a workspace (the buffers of live tensors share memory).
    std::size_t WorkspaceFloats() const { return arenaFloats_; }

    const kernels::ConvKernels& Kernels() const { return *kernels_; }

private:
    struct TensorPlan {
        int height = 0, width = 0, channels = 0, pixelStride = 0;
        int margin = 0;          ///< zero padding around it, for the convolutions that read it
        int lastUse = 0;         ///< index of the last step that reads it
        std::size_t offset = 0;  ///< start in the arena
    };
    enum class StepKind { kDense, kDepthwise, kAdd, kScale, kGlobalMean, kActivate };
    struct Step {
        StepKind kind = StepKind::kDense;
        int input = -1, other = -1, output = -1;  ///< tensor indices
        kernels::ConvGeometry geometry;
        kernels::Activation activation = kernels::Activation::kNone;
        std::vector<float> weights, bias;  ///< in the kernels' layout
    };

    DirectNetwork() = default;
    kernels::Tensor View(int tensor, float* arena) const;
    void PlanMemory();

    const kernels::ConvKernels* kernels_ = nullptr;
    std::vector<TensorPlan> tensors_;  ///< tensor 0 is the input
    std::vector<Step> steps_;
    int output_ = 0;
    std::size_t arenaFloats_ = 0;
};

}  // namespace firesmoke
