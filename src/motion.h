// Per-camera motion: a running background of the working frame.
#pragma once

#include <opencv2/core.hpp>

namespace firesmoke {

/// @brief Per-thread buffers of MotionModel::Update, reused from frame to frame.
struct MotionScratch {
    cv::Mat background8;  ///< the background rounded to grey levels, then the frame-to-frame change
    cv::Mat target16;     ///< the new frame in the background's fixed point
};

class MotionModel {
public:
    /// @brief Forgets the background (new camera or new frame size).
    void Reset();

    /// @brief Takes the next grey working frame and writes, per pixel, the larger
    /// absolute difference to the running background and to the previous frame
    /// into @p diff (8-bit). The first frame after a reset has no motion.
    /// @param rate learning rate of the background, (0, 1): each frame moves it this
    ///             share of the way towards the new frame.
    /// @param scratch the calling thread's buffers; nothing in them outlives the call.
    void Update(const cv::Mat& gray, double rate, cv::Mat& diff, MotionScratch& scratch);

    /// @brief The grey frame of the previous Update; empty after a reset.
    const cv::Mat& Previous() const { return previous_; }

private:
    cv::Mat background_;  // CV_16U running average in 1/256 grey levels (half a float's size)
    cv::Mat previous_;    // CV_8U previous frame
};

}  // namespace firesmoke
