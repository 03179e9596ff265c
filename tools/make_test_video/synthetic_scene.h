// A synthetic surveillance scene with a flickering flame and rising smoke over a
// textured background. Deterministic: frame i always looks the same.
#pragma once

#include <opencv2/core.hpp>

namespace firesmoke {

/// @brief Where the scene's flame and smoke are, as fractions of the frame.
struct SyntheticLayout {
    cv::Rect2f flame{0.42f, 0.55f, 0.12f, 0.25f};  ///< the flame's bounding area
    cv::Rect2f smoke{0.36f, 0.12f, 0.24f, 0.45f};  ///< where the smoke rises
};

/// @brief Renders frame @p index of the scene at @p size (8-bit BGR).
/// @param withFire false renders the same room without flame and smoke (a negative).
cv::Mat RenderSyntheticFrame(int index, cv::Size size, bool withFire = true);

}  // namespace firesmoke
