// Per-camera flicker map: how often each pixel of the working frame reverses
// the direction of its brightness change. Flames do so many times a second at
// random; the edge of a moving object crosses a pixel once, and a static scene
// never does. (A cloth shaken hard or a sign with chasing lights does too: the
// map is one cue among several.)
#pragma once

#include <opencv2/core.hpp>

#include "model_config.h"

namespace firesmoke {

class FlickerMap {
public:
    /// Smallest frame-to-frame change (grey levels) that counts as a direction; smaller
    /// changes are sensor and compression noise and keep the last direction.
    static constexpr int kMinStep = 6;
    /// Per-frame decay of the rate: it keeps about 7/8 of itself (a memory of about 8
    /// frames), rounded down so that it reaches 0.
    static constexpr int kDecayShift = 3;
    /// Added on every reversal. A pixel that reverses on every frame settles at 249
    /// (the decay then takes 32 back).
    static constexpr int kReversalGain = 32;

    /// @brief Forgets everything (new camera or new frame size).
    void Reset();

    /// @brief Takes the next grey working frame and updates the per-pixel rate.
    /// @param previous the camera's grey frame before @p gray (the motion model keeps
    ///                 it); when it is empty or of another size the map starts afresh.
    void Update(const cv::Mat& gray, const cv::Mat& previous);

    /// @brief Per-pixel reversal rate, 8-bit, 0 (never) to 249 (every frame).
    /// Empty before the first frame.
    const cv::Mat& Rate() const { return rate_; }

    /// @brief Share of the flame-coloured pixels of @p box (in @p work, 8-bit BGR of the
    /// map's size) whose rate is at least @p minRate; 0 when the box holds none.
    double FlameShare(const cv::Mat& work, const cv::Rect& box, const ColourConfig& colour,
                      int minRate) const;

private:
    cv::Mat direction_;  // CV_8S last significant direction: -1, 0 (none yet), +1
    cv::Mat rate_;       // CV_8U reversal rate
};

}  // namespace firesmoke
