// The network scorer on a camera's stream: one forward pass per interval of
// frames, and in between the camera's last grid judged against the new frame.
#include "network_scorer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "model_config.h"
#include "synthetic_scene.h"

namespace {

// The bundled model with the interval of forward passes set to @p interval.
firesmoke::ModelConfig Bundled(int interval) {
    firesmoke::ModelConfig config;
    std::string error;
    EXPECT_TRUE(firesmoke::LoadModelConfig(FIRESMOKE_TEST_MODEL_DIR, config, error)) << error;
    config.network.interval = interval;
    return config;
}

bool HasFire(const std::vector<firesmoke::Candidate>& candidates) {
    for (const auto& c : candidates) {
        if (c.classId == firesmoke::kFireClass) {
            return true;
        }
    }
    return false;
}

class NetworkScorerStream : public testing::Test {
protected:
    void SetUp() override {
        if (Bundled(1).scorer != "network") {
            GTEST_SKIP() << "the bundled model does not use the network";
        }
        Use(3);
        const cv::Size size = scorer_->WorkSize({1920, 1080});
        cv::resize(firesmoke::RenderSyntheticFrame(0, {1920, 1080}), fire_, size);
        // A textured scene with nothing in it, so that no region counts as flat.
        quiet_.create(size, CV_8UC3);
        cv::randu(quiet_, cv::Scalar::all(90), cv::Scalar::all(110));
        still_ = cv::Mat::zeros(size, CV_8U);
    }

    // Scores with a network that runs once per @p interval frames of a camera.
    void Use(int interval) { scorer_ = firesmoke::MakeScorer(Bundled(interval)); }

    std::vector<firesmoke::Candidate> Score(const cv::Mat& work, firesmoke::ScorerMemory* memory) {
        std::vector<firesmoke::Candidate> out;
        scorer_->Score(work, still_, 4, out, scratch_, memory);
        return out;
    }

    std::unique_ptr<firesmoke::Scorer> scorer_;
    firesmoke::ScorerScratch scratch_;
    cv::Mat fire_, quiet_, still_;
};

TEST_F(NetworkScorerStream, TheScenesAreWhatTheTestAssumes) {
    EXPECT_TRUE(HasFire(Score(fire_, nullptr))) << "the network finds no fire in the synthetic scene";
    EXPECT_FALSE(HasFire(Score(quiet_, nullptr))) << "the network finds fire in grey noise";
}

TEST_F(NetworkScorerStream, ANewHistoryOrAnotherCameraRunsTheNetworkAtOnce) {
    firesmoke::ScorerMemory camera, other;
    ASSERT_TRUE(HasFire(Score(fire_, &camera)));
    EXPECT_FALSE(HasFire(Score(quiet_, &other))) << "a camera saw another camera's grid";
    camera.Reset();  // what a new frame size does
    EXPECT_FALSE(HasFire(Score(quiet_, &camera))) << "the grid outlived the camera's history";
}

TEST_F(NetworkScorerStream, AGridServesTheFramesUntilTheNextPassAtTheCamerasPhase) {
    // A pass on the fire, then quiet frames: those that reuse the pass's grid judge
    // the fire's cells on the new frame; the next pass sees the quiet frame.
    struct Case {
        unsigned phase;
        int reused;  // frames after the first pass that still see its grid (interval 3)
    };
    for (const Case c : {Case{0, 2}, Case{1, 1}, Case{2, 0}, Case{4, 1}}) {
        SCOPED_TRACE("phase " + std::to_string(c.phase));
        firesmoke::ScorerMemory camera;
        camera.phase = c.phase;
        ASSERT_TRUE(HasFire(Score(fire_, &camera))) << "the first pass must run at once";
        for (int i = 0; i < c.reused; ++i) {
            EXPECT_TRUE(HasFire(Score(quiet_, &camera))) << "frame " << i + 1 << " ran the network";
        }
        EXPECT_FALSE(HasFire(Score(quiet_, &camera))) << "frame " << c.reused + 1 << " reused the grid";
    }
}

TEST_F(NetworkScorerStream, AnIntervalOfOneRunsTheNetworkOnEveryFrame) {
    Use(1);
    firesmoke::ScorerMemory camera;
    ASSERT_TRUE(HasFire(Score(fire_, &camera)));
    EXPECT_FALSE(HasFire(Score(quiet_, &camera)));
}

TEST_F(NetworkScorerStream, SmokeNeedsTheShareOfMovingPixelsThatTheModelFolderSets) {
    // Every other pixel moves: full motion evidence at a share of 0.2, 0.2 + 0.8 * 0.5
    // of it at a share of 1.
    cv::Mat half(still_.size(), CV_8U);
    for (int y = 0; y < half.rows; ++y) {
        for (int x = 0; x < half.cols; ++x) {
            half.at<uchar>(y, x) = static_cast<uchar>((x + y) % 2 == 0 ? 255 : 0);
        }
    }
    auto bestSmoke = [&](double share) {
        firesmoke::ModelConfig config = Bundled(3);
        config.network.smokeFullMotion = share;
        const auto scorer = firesmoke::MakeScorer(config);
        std::vector<firesmoke::Candidate> out;
        scorer->Score(fire_, half, 4, out, scratch_, nullptr);
        float best = 0.0f;
        for (const auto& c : out) {
            best = c.classId == firesmoke::kSmokeClass ? std::max(best, c.score) : best;
        }
        return best;
    };
    const float easy = bestSmoke(0.2), hard = bestSmoke(1.0);
    ASSERT_GT(easy, 0.0f) << "the network finds no smoke in the synthetic scene";
    EXPECT_NEAR(hard / easy, 0.6f, 0.02f)
        << "smoke score " << easy << " at a share of 0.2, " << hard << " at a share of 1";
}

TEST_F(NetworkScorerStream, TheDirectPathFindsWhatCvDnnFinds) {
    firesmoke::ModelConfig config = Bundled(1);
    config.network.runtime = "dnn";
    const auto dnn = firesmoke::MakeScorer(config);
    config.network.runtime = "direct";
    const auto direct = firesmoke::MakeScorer(config);
    const auto* net = dynamic_cast<const firesmoke::NetworkScorer*>(direct.get());
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->Runtime().rfind("direct/", 0), 0u)
        << "the bundled network fell back to " << net->Runtime();
    EXPECT_EQ(dynamic_cast<const firesmoke::NetworkScorer&>(*dnn).Runtime(), "dnn");

    const cv::Mat moving(still_.size(), CV_8U, cv::Scalar(255));
    for (const cv::Mat* frame : {static_cast<const cv::Mat*>(&fire_), static_cast<const cv::Mat*>(&quiet_)}) {
        for (const cv::Mat* motion : {static_cast<const cv::Mat*>(&still_), &moving}) {
            SCOPED_TRACE(std::string(frame == &fire_ ? "fire" : "quiet") +
                         (motion == &still_ ? ", still" : ", moving"));
            std::vector<firesmoke::Candidate> theirs, mine;
            firesmoke::ScorerScratch other;
            dnn->Score(*frame, *motion, 4, theirs, other, nullptr);
            direct->Score(*frame, *motion, 4, mine, scratch_, nullptr);
            ASSERT_EQ(mine.size(), theirs.size());
            for (std::size_t i = 0; i < mine.size(); ++i) {
                EXPECT_EQ(mine[i].classId, theirs[i].classId) << "candidate " << i;
                EXPECT_EQ(mine[i].box, theirs[i].box) << "candidate " << i;
                EXPECT_NEAR(mine[i].score, theirs[i].score, 1e-4) << "candidate " << i;
            }
        }
    }
}

}  // namespace
