// Per-camera temporal verification: candidates become tracks, tracks collect
// votes over a window of frames, and only tracks whose evidence persists (and,
// for weak fire, flickers) are confirmed. Boxes that never change are suppressed.
#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <vector>

#include "flicker.h"
#include "scorer.h"

namespace firesmoke {

/// Longest vote window supported.
constexpr int kMaxVoteWindow = 32;

/// @brief The verification rules. Values come from the detector's constants.
struct VerifierConfig {
    int voteWindow = 15;        ///< frames a track remembers (<= kMaxVoteWindow)
    int voteThreshold = 8;      ///< high-score hits in the window that confirm a track
    int lowVoteThreshold = 6;   ///< low-score hits that confirm a flickering fire track
    float highConf = 0.5f;      ///< score of a high hit
    float lowConfFire = 0.25f;  ///< score of a low hit (fire only)
    float boxChange = 0.05f;    ///< a track whose box changed less over the window is static
    double flickerStd = 3.0;    ///< std of the box's brightness that counts as flicker
    int flickerMinSamples = 6;  ///< brightness samples needed to judge flicker
    int maxTracks = 32;         ///< tracks kept per camera
    /// Flame flicker: a fire track is confirmed only while, over the hits in its window,
    /// the median share of its flame-coloured pixels that flicker (reversal rate at least
    /// flameFlickerRate on FlickerMap's 0..255 scale) is at least minFlameFlicker.
    /// Orange cloth, signs, shirts and lamps have the colour but not the flicker.
    ColourConfig flameColour;
    int flameFlickerRate = 96;
    float minFlameFlicker = 0.01f;
};

/// @brief One frame's evidence for a track.
struct TrackSample {
    bool hit = false;
    float score = 0.0f;
    float brightness = 0.0f;     ///< mean V (max of B, G, R) inside the box
    float flameFlicker = -1.0f;  ///< share of flame-coloured pixels that flicker; < 0 unmeasured
    cv::Rect box;
};

/// @brief A candidate region followed over frames.
struct Track {
    enum class State {
        Tentative,  ///< collecting evidence
        Confirmed,  ///< reported while it keeps being seen
        Lost,       ///< no hit in the whole window: to be removed
    };

    int id = 0;
    int classId = kFireClass;
    State state = State::Tentative;
    cv::Rect box;             ///< latest box, working-frame pixels
    float confidence = 0.0f;  ///< of the latest evaluation, in [0, 1]
    bool seenNow = false;     ///< hit in the latest frame

    /// @brief Records this frame's matching candidate.
    void MarkHit(const Candidate& c, float brightness, float flameFlicker, int window);
    /// @brief Records a frame without a matching candidate; Lost after a silent window.
    void MarkMissed(int window);
    void Confirm(float conf) {
        state = State::Confirmed;
        confidence = conf;
    }
    void Unconfirm() {
        state = State::Tentative;
        confidence = 0.0f;
    }

    /// @brief Hits in the window whose score is at least @p minScore.
    int Votes(float minScore) const;
    /// @brief Mean score of the hits in the window (0 without hits).
    float MeanHitScore() const;
    /// @brief Standard deviation of the hits' brightness, and how many samples it has.
    double BrightnessStd(int& samples) const;
    /// @brief Median flame flicker of the measured hits in the window; < 0 when none is measured.
    float MedianFlameFlicker() const;
    /// @brief Largest 1 - IoU between the latest box and any earlier hit's box.
    float BoxChange() const;

private:
    std::array<TrackSample, kMaxVoteWindow> samples_{};
    int next_ = 0;    ///< ring position of the next sample
    int filled_ = 0;  ///< samples in the ring, up to the window
    void Push(const TrackSample& s, int window);
};

/// @brief A confirmed track as reported for one frame.
struct Confirmation {
    int classId = kFireClass;
    cv::Rect box;  ///< working-frame pixels
    float confidence = 0.0f;
};

class TemporalVerifier {
public:
    explicit TemporalVerifier(const VerifierConfig& config = {});

    /// @brief Forgets every track.
    void Reset();

    /// @brief Takes this frame's candidates and reports the confirmed tracks.
    /// @param work   the working frame (8-bit BGR) the candidates were found in.
    /// @param sensitivity 0..1; 0.5 keeps the thresholds, higher lowers them.
    /// @param flicker the camera's flicker map, updated with @p work; null when there is
    ///                none, and then fire tracks are confirmed without the flicker rule.
    void Update(const std::vector<Candidate>& candidates, const cv::Mat& work, float sensitivity,
                std::vector<Confirmation>& confirmed, const FlickerMap* flicker = nullptr);

    const std::vector<Track>& Tracks() const { return tracks_; }

private:
    void Evaluate(Track& t, float sensitivity) const;
    float FlameFlicker(const Candidate& c, const cv::Mat& work, const FlickerMap* flicker) const;

    VerifierConfig config_;
    std::vector<Track> tracks_;
    std::vector<char> used_;
    int nextId_ = 1;
};

/// @brief Intersection over union of two boxes (0 when either is empty).
float IoU(const cv::Rect& a, const cv::Rect& b);

}  // namespace firesmoke
