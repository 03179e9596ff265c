// Parameters a host sets through SetParameters, read for each frame.
#pragma once

#include <array>
#include <opencv2/core.hpp>

#include "IVEKCustomClass.h"

namespace firesmoke {

constexpr int kMaxExclusiveRois = 20;
constexpr float kDefaultSmokeScore = 0.5f;
constexpr float kDefaultSensitivity = 0.5f;

/// @brief The host's parameters, read without allocating.
struct RuntimeParams {
    float smokeScore = kDefaultSmokeScore;    ///< minimum confidence of reported smoke, [0, 1]
    float sensitivity = kDefaultSensitivity;  ///< [0, 1], 0.5 is the calibrated point
    /// Exclusive rectangles as fractions of the frame: x, y, width, height in [0, 1].
    std::array<cv::Rect2f, kMaxExclusiveRois> exclusive{};
    int exclusiveCount = 0;
};

/// @brief Reads "SmokeScore", "Sensitivity" and "ExclusiveROIs" items from @p params.
/// Values out of range are clamped; NaN and malformed items are ignored.
RuntimeParams ReadRuntimeParams(const CustomParams& params);

/// @brief Fills @p params with the configuration the detector offers to hosts.
void DescribeParams(CustomParams& params);

}  // namespace firesmoke
