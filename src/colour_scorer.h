// Candidate stage from colour and motion: fire is red-orange-yellow and
// changes; smoke is grey, low in contrast and moves slowly.
#pragma once

#include "scorer.h"

namespace firesmoke {

class ColourScorer final : public Scorer {
public:
    ColourScorer(const ColourConfig& config, int workWidth);

    cv::Size WorkSize(cv::Size frame) const override;
    void Score(const cv::Mat& work, const cv::Mat& motion, int minArea, std::vector<Candidate>& out,
               ScorerScratch& scratch, ScorerMemory* memory) const override;

private:
    void FindFire(const cv::Mat& work, const cv::Mat& motion, int minArea, std::vector<Candidate>& out,
                  ScorerScratch& s) const;
    void FindSmoke(const cv::Mat& work, const cv::Mat& motion, int minArea, std::vector<Candidate>& out,
                   ScorerScratch& s) const;

    ColourConfig config_;
    int workWidth_;
};

}  // namespace firesmoke
