#include "colour_scorer.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace firesmoke {
namespace {

// Labels connected regions of @p mask; returns the label count (0 is background).
int Label(const cv::Mat& mask, ScorerScratch& s) {
    return cv::connectedComponentsWithStats(mask, s.labels, s.stats, s.centroids, 8, CV_32S);
}

cv::Rect ComponentBox(const cv::Mat& stats, int label) {
    return {stats.at<int>(label, cv::CC_STAT_LEFT), stats.at<int>(label, cv::CC_STAT_TOP),
            stats.at<int>(label, cv::CC_STAT_WIDTH), stats.at<int>(label, cv::CC_STAT_HEIGHT)};
}

}  // namespace

ColourScorer::ColourScorer(const ColourConfig& config, int workWidth)
    : config_(config), workWidth_(workWidth) {}

cv::Size ColourScorer::WorkSize(cv::Size frame) const {
    if (frame.width <= workWidth_) {
        return frame;
    }
    const double scale = static_cast<double>(workWidth_) / frame.width;
    return {workWidth_, std::max(1, static_cast<int>(std::lround(frame.height * scale)))};
}

void ColourScorer::Score(const cv::Mat& work, const cv::Mat& motion, int minArea, std::vector<Candidate>& out,
                         ScorerScratch& scratch, ScorerMemory*) const {
    out.clear();  // colour rules are cheap: every frame is judged afresh
    FindFire(work, motion, minArea, out, scratch);
    if (!motion.empty()) {
        FindSmoke(work, motion, minArea, out, scratch);
    }
}

void ColourScorer::FindFire(const cv::Mat& work, const cv::Mat& motion, int minArea,
                            std::vector<Candidate>& out, ScorerScratch& s) const {
    // Per-pixel fire score (0..255) in s.a, candidate mask in s.b.
    s.a.create(work.size(), CV_8U);
    s.b.create(work.size(), CV_8U);
    const int full = config_.fireFullRedBlue;
    for (int y = 0; y < work.rows; ++y) {
        const uchar* p = work.ptr<uchar>(y);
        uchar* score = s.a.ptr<uchar>(y);
        uchar* mask = s.b.ptr<uchar>(y);
        for (int x = 0; x < work.cols; ++x, p += 3) {
            const int b = p[0], g = p[1], r = p[2];
            if (config_.IsFlame(b, g, r)) {
                score[x] = static_cast<uchar>(std::min(255, (r - b) * 255 / full));
                mask[x] = 255;
            } else {
                score[x] = 0;
                mask[x] = 0;
            }
        }
    }
    // Join flame tongues that the colour rule splits.
    cv::dilate(s.b, s.c, cv::Mat(), cv::Point(-1, -1), 1);
    const int n = Label(s.c, s);
    if (n <= 1) {
        return;
    }

    s.sums.assign(static_cast<std::size_t>(n), 0.0);
    s.counts.assign(static_cast<std::size_t>(2 * n), 0);  // [0, n): colour pixels, [n, 2n): moving ones
    const bool haveMotion = !motion.empty();
    const int moveThr = config_.motionThreshold;
    for (int y = 0; y < work.rows; ++y) {
        const int* label = s.labels.ptr<int>(y);
        const uchar* score = s.a.ptr<uchar>(y);
        const uchar* moving = haveMotion ? motion.ptr<uchar>(y) : nullptr;
        for (int x = 0; x < work.cols; ++x) {
            const int l = label[x];
            if (l == 0 || score[x] == 0) {
                continue;
            }
            s.sums[static_cast<std::size_t>(l)] += score[x];
            ++s.counts[static_cast<std::size_t>(l)];
            if (moving != nullptr && moving[x] >= moveThr) {
                ++s.counts[static_cast<std::size_t>(n + l)];
            }
        }
    }
    for (int l = 1; l < n; ++l) {
        const int area = s.stats.at<int>(l, cv::CC_STAT_AREA);
        const int count = s.counts[static_cast<std::size_t>(l)];
        if (area < minArea || count == 0) {
            continue;
        }
        const double colour = s.sums[static_cast<std::size_t>(l)] / (255.0 * count);
        double score;
        if (haveMotion) {
            // Flames flicker: a fire-coloured region that does not change is a lamp,
            // a sunset or a painted wall until it moves.
            const double moving = static_cast<double>(s.counts[static_cast<std::size_t>(n + l)]) / count;
            score = colour * (0.35 + 0.65 * std::min(1.0, moving / 0.25));
        } else {
            score = colour * 0.9;  // one frame alone is never full proof
        }
        out.push_back(
            {kFireClass, ComponentBox(s.stats, l), static_cast<float>(std::clamp(score, 0.0, 1.0))});
    }
}

void ColourScorer::FindSmoke(const cv::Mat& work, const cv::Mat& motion, int minArea,
                             std::vector<Candidate>& out, ScorerScratch& s) const {
    // Smoke: grey pixels whose change from the background is soft. Sharp changes
    // belong to solid movers (people, cars) and count against a region.
    const int maxChroma = config_.smokeMaxChroma;
    const int minV = config_.smokeMinValue;
    const int maxV = config_.smokeMaxValue;
    const int soft = config_.motionThreshold;
    const int hard = 4 * config_.motionThreshold;
    s.a.create(work.size(), CV_8U);  // 255 soft grey change, 128 hard change, 0 none
    s.b.create(work.size(), CV_8U);  // candidate mask
    for (int y = 0; y < work.rows; ++y) {
        const uchar* p = work.ptr<uchar>(y);
        const uchar* d = motion.ptr<uchar>(y);
        uchar* kind = s.a.ptr<uchar>(y);
        uchar* mask = s.b.ptr<uchar>(y);
        for (int x = 0; x < work.cols; ++x, p += 3) {
            const int b = p[0], g = p[1], r = p[2];
            const int hi = std::max(r, std::max(g, b));
            const int lo = std::min(r, std::min(g, b));
            const int diff = d[x];
            uchar k = 0;
            if (diff >= hard) {
                k = 128;
            } else if (diff >= soft && hi - lo <= maxChroma && hi >= minV && hi <= maxV) {
                k = 255;
            }
            kind[x] = k;
            mask[x] = k == 255 ? 255 : 0;
        }
    }
    cv::morphologyEx(s.b, s.c, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
    const int n = Label(s.c, s);
    if (n <= 1) {
        return;
    }
    s.counts.assign(static_cast<std::size_t>(2 * n), 0);  // [0, n): soft grey, [n, 2n): hard
    for (int y = 0; y < work.rows; ++y) {
        const int* label = s.labels.ptr<int>(y);
        const uchar* kind = s.a.ptr<uchar>(y);
        for (int x = 0; x < work.cols; ++x) {
            const int l = label[x];
            if (l == 0) {
                continue;
            }
            if (kind[x] == 255) {
                ++s.counts[static_cast<std::size_t>(l)];
            } else if (kind[x] == 128) {
                ++s.counts[static_cast<std::size_t>(n + l)];
            }
        }
    }
    // Smoke needs room to be told from noise: a few times the smallest object.
    const int minSmokeArea = std::max(4 * minArea, 16);
    for (int l = 1; l < n; ++l) {
        const cv::Rect box = ComponentBox(s.stats, l);
        const int area = s.stats.at<int>(l, cv::CC_STAT_AREA);
        if (area < minSmokeArea) {
            continue;
        }
        const double softCount = s.counts[static_cast<std::size_t>(l)];
        const double hardCount = s.counts[static_cast<std::size_t>(n + l)];
        const double density = softCount / static_cast<double>(box.area());
        const double hardShare = hardCount / std::max(1.0, softCount + hardCount);
        const double score = std::min(1.0, 1.5 * density) * (1.0 - hardShare);
        if (score > 0.0) {
            out.push_back({kSmokeClass, box, static_cast<float>(score)});
        }
    }
}

}  // namespace firesmoke
