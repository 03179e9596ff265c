// Per-camera motion: a running background of the working frame.
#pragma once

#include <opencv2/core.hpp>

namespace firesmoke {

class MotionModel {
public:
    /// @brief Forgets the background (new camera or new frame size).
    void Reset();

    /// @brief Takes the next grey working frame and writes, per pixel, the larger
    /// absolute difference to the running background and to the previous frame
    /// into @p diff (8-bit). The first frame after a reset has no motion.
    /// @param scratch the caller's buffer, reused between calls (kept out of the
    ///                camera's state, which is held for every camera).
    void Update(const cv::Mat& gray, double rate, cv::Mat& diff, cv::Mat& scratch);

    /// @brief The grey frame of the previous Update; empty after a reset.
    const cv::Mat& Previous() const { return previous_; }

    /// @brief Bytes held, for memory accounting.
    std::size_t Bytes() const;

private:
    cv::Mat background_;  // CV_32F running average
    cv::Mat previous_;    // CV_8U previous frame
};

}  // namespace firesmoke
