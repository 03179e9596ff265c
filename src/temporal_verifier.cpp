#include "temporal_verifier.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <opencv2/imgproc.hpp>

namespace firesmoke {
namespace {

// Tracks and candidates match when they overlap this much, or when one's centre
// lies inside the other (flames change shape a lot from frame to frame).
constexpr float kMatchIoU = 0.1f;

bool CentreInside(const cv::Rect& a, const cv::Rect& b) {
    const cv::Point ca(a.x + a.width / 2, a.y + a.height / 2);
    const cv::Point cb(b.x + b.width / 2, b.y + b.height / 2);
    return b.contains(ca) || a.contains(cb);
}

float MeanBrightness(const cv::Mat& work, const cv::Rect& box) {
    const cv::Rect r = box & cv::Rect(0, 0, work.cols, work.rows);
    if (r.empty()) {
        return 0.0f;
    }
    std::uint64_t sum = 0;
    for (int y = r.y; y < r.y + r.height; ++y) {
        const uchar* p = work.ptr<uchar>(y) + 3 * r.x;
        unsigned row = 0;  // at most 255 x the width: no overflow
        for (int x = 0; x < r.width; ++x, p += 3) {
            row += std::max(p[0], std::max(p[1], p[2]));
        }
        sum += row;
    }
    return static_cast<float>(static_cast<double>(sum) / r.area());
}

}  // namespace

float IoU(const cv::Rect& a, const cv::Rect& b) {
    const int inter = (a & b).area();
    const int uni = a.area() + b.area() - inter;
    return uni > 0 ? static_cast<float>(inter) / static_cast<float>(uni) : 0.0f;
}

void Track::Push(const TrackSample& s, int window) {
    samples_[static_cast<std::size_t>(next_)] = s;
    next_ = (next_ + 1) % window;
    filled_ = std::min(filled_ + 1, window);
}

void Track::MarkHit(const Candidate& c, float brightness, float flameFlicker, int window) {
    box = c.box;
    seenNow = true;
    Push({true, c.score, brightness, flameFlicker, c.box}, window);
}

void Track::MarkMissed(int window) {
    seenNow = false;
    Push({}, window);
    if (Votes(0.0f) == 0) {
        state = State::Lost;
    }
}

int Track::Votes(float minScore) const {
    int votes = 0;
    for (int i = 0; i < filled_; ++i) {
        const auto& s = samples_[static_cast<std::size_t>(i)];
        votes += (s.hit && s.score >= minScore) ? 1 : 0;
    }
    return votes;
}

float Track::MeanHitScore() const {
    double sum = 0.0;
    int n = 0;
    for (int i = 0; i < filled_; ++i) {
        const auto& s = samples_[static_cast<std::size_t>(i)];
        if (s.hit) {
            sum += s.score;
            ++n;
        }
    }
    return n > 0 ? static_cast<float>(sum / n) : 0.0f;
}

double Track::BrightnessStd(int& samples) const {
    double sum = 0.0, sq = 0.0;
    samples = 0;
    for (int i = 0; i < filled_; ++i) {
        const auto& s = samples_[static_cast<std::size_t>(i)];
        if (s.hit) {
            sum += s.brightness;
            sq += static_cast<double>(s.brightness) * s.brightness;
            ++samples;
        }
    }
    if (samples < 2) {
        return 0.0;
    }
    const double mean = sum / samples;
    return std::sqrt(std::max(0.0, sq / samples - mean * mean));
}

float Track::MedianFlameFlicker() const {
    std::array<float, kMaxVoteWindow> values{};
    std::size_t n = 0;
    for (int i = 0; i < filled_; ++i) {
        const auto& s = samples_[static_cast<std::size_t>(i)];
        if (s.hit && s.flameFlicker >= 0.0f) {
            values[n++] = s.flameFlicker;
        }
    }
    if (n == 0) {
        return -1.0f;
    }
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(values.begin(), mid, values.begin() + static_cast<std::ptrdiff_t>(n));
    return *mid;
}

float Track::BoxChange() const {
    float change = 0.0f;
    for (int i = 0; i < filled_; ++i) {
        const auto& s = samples_[static_cast<std::size_t>(i)];
        if (s.hit) {
            change = std::max(change, 1.0f - IoU(s.box, box));
        }
    }
    return change;
}

TemporalVerifier::TemporalVerifier(const VerifierConfig& config) : config_(config) {
    config_.voteWindow = std::clamp(config_.voteWindow, 1, kMaxVoteWindow);
    tracks_.reserve(static_cast<std::size_t>(config_.maxTracks));
}

void TemporalVerifier::Reset() {
    tracks_.clear();
}

float TemporalVerifier::FlameFlicker(const Candidate& c, const cv::Mat& work,
                                     const FlickerMap* flicker) const {
    if (flicker == nullptr || c.classId != kFireClass || flicker->Rate().size() != work.size()) {
        return -1.0f;
    }
    return static_cast<float>(
        flicker->FlameShare(work, c.box, config_.flameColour, config_.flameFlickerRate));
}

void TemporalVerifier::Update(const std::vector<Candidate>& candidates, const cv::Mat& work,
                              float sensitivity, std::vector<Confirmation>& confirmed,
                              const FlickerMap* flicker) {
    confirmed.clear();
    const int window = config_.voteWindow;
    used_.assign(candidates.size(), 0);

    // Greedy matching: each track takes its best unused candidate of its class.
    for (auto& t : tracks_) {
        int best = -1;
        float bestIoU = 0.0f;
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            const Candidate& c = candidates[i];
            if (used_[i] != 0 || c.classId != t.classId) {
                continue;
            }
            float iou = IoU(t.box, c.box);
            if (iou < kMatchIoU && CentreInside(t.box, c.box)) {
                iou = kMatchIoU;
            }
            if (iou >= kMatchIoU && iou > bestIoU) {
                best = static_cast<int>(i);
                bestIoU = iou;
            }
        }
        if (best >= 0) {
            used_[static_cast<std::size_t>(best)] = 1;
            const Candidate& c = candidates[static_cast<std::size_t>(best)];
            t.MarkHit(c, MeanBrightness(work, c.box), FlameFlicker(c, work, flicker), window);
        } else {
            t.MarkMissed(window);
        }
    }
    tracks_.erase(std::remove_if(tracks_.begin(), tracks_.end(),
                                 [](const Track& t) { return t.state == Track::State::Lost; }),
                  tracks_.end());

    // New candidates start tentative tracks while there is room.
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (used_[i] != 0 || static_cast<int>(tracks_.size()) >= config_.maxTracks) {
            continue;
        }
        Track t;
        t.id = nextId_++;
        t.classId = candidates[i].classId;
        t.MarkHit(candidates[i], MeanBrightness(work, candidates[i].box),
                  FlameFlicker(candidates[i], work, flicker), window);
        tracks_.push_back(t);
    }

    for (auto& t : tracks_) {
        Evaluate(t, sensitivity);
        if (t.state == Track::State::Confirmed && t.seenNow) {
            confirmed.push_back({t.classId, t.box, t.confidence});
        }
    }
}

void TemporalVerifier::Evaluate(Track& t, float sensitivity) const {
    // Sensitivity 0.5 keeps the thresholds; 1 halves them, 0 raises them by half.
    const float factor = 1.5f - std::clamp(sensitivity, 0.0f, 1.0f);
    const float highThr = config_.highConf * factor;
    const float lowThr = config_.lowConfFire * factor;
    const float window = static_cast<float>(config_.voteWindow);

    const int highVotes = t.Votes(highThr);
    const bool high = highVotes >= config_.voteThreshold;

    bool lowFlicker = false;
    const int lowVotes = t.Votes(lowThr);
    if (!high && t.classId == kFireClass && lowVotes >= config_.lowVoteThreshold) {
        int samples = 0;
        const double std = t.BrightnessStd(samples);
        lowFlicker = samples >= config_.flickerMinSamples && std > config_.flickerStd;
    }

    // A box that has not changed over the window is a fixed light, a painting or a
    // sign, whatever its colour.
    const bool isStatic = t.Votes(0.0f) >= config_.lowVoteThreshold && t.BoxChange() < config_.boxChange;

    // Flames flicker: a fire-coloured region whose colour holds still is cloth, a sign or a lamp.
    bool flames = true;
    if (t.classId == kFireClass) {
        const float flicker = t.MedianFlameFlicker();
        flames = flicker < 0.0f || flicker >= config_.minFlameFlicker;
    }

    if ((high || lowFlicker) && flames && !isStatic) {
        // 0.5 marks the confirmation boundary; stronger and longer evidence goes towards 1.
        const int votes = high ? highVotes : lowVotes;
        const float conf = 0.5f * (1.0f + t.MeanHitScore() * static_cast<float>(votes) / window);
        t.Confirm(std::clamp(conf, 0.5f, 1.0f));
    } else {
        t.Unconfirm();
    }
}

}  // namespace firesmoke
