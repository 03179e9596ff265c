#include "temporal_verifier.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace {

using firesmoke::Candidate;
using firesmoke::Confirmation;
using firesmoke::TemporalVerifier;

// A working frame whose brightness inside the box can be set per frame.
struct Scene {
    cv::Mat work = cv::Mat(120, 160, CV_8UC3, cv::Scalar(40, 40, 40));
    void SetBrightness(const cv::Rect& box, int v) { work(box).setTo(cv::Scalar(0, v / 2, v)); }
};

// The box of frame i: it sways by a pixel or two, as flames do.
cv::Rect Swaying(int i) {
    return {50 + (i % 3), 40 + (i % 2), 20 + (i % 4), 30 - (i % 3)};
}

// Feeds @p frames frames; returns the 1-based frame of the first confirmation, 0 for none.
template <typename CandidateOf, typename BrightnessOf>
int FirstConfirmation(TemporalVerifier& v, int frames, CandidateOf candidateOf, BrightnessOf brightnessOf) {
    Scene scene;
    std::vector<Confirmation> out;
    for (int i = 0; i < frames; ++i) {
        const Candidate c = candidateOf(i);
        scene.SetBrightness(c.box, brightnessOf(i));
        v.Update({c}, scene.work, 0.5f, out);
        if (!out.empty()) {
            EXPECT_EQ(out[0].classId, c.classId);
            EXPECT_GE(out[0].confidence, 0.5f);
            EXPECT_LE(out[0].confidence, 1.0f);
            return i + 1;
        }
    }
    return 0;
}

TEST(TemporalVerifier, ConfirmationNeedsPersistentEvidence) {
    struct Case {
        const char* name;
        int classId;
        float score;
        int flickerAmplitude;  // brightness swing inside the box
        bool staticBox;
        int expectedFrame;  // 0: never confirmed within 40 frames
    };
    const Case cases[] = {
        {"strong fire confirms at the 8th vote", firesmoke::kFireClass, 0.8f, 0, false, 8},
        {"strong smoke confirms at the 8th vote", firesmoke::kSmokeClass, 0.8f, 0, false, 8},
        {"weak flickering fire confirms at the 6th vote", firesmoke::kFireClass, 0.3f, 30, false, 6},
        {"weak steady fire never confirms", firesmoke::kFireClass, 0.3f, 0, false, 0},
        {"weak flickering smoke never confirms", firesmoke::kSmokeClass, 0.3f, 30, false, 0},
        {"below the low threshold never confirms", firesmoke::kFireClass, 0.2f, 30, false, 0},
        {"a box that never changes is suppressed", firesmoke::kFireClass, 0.9f, 30, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporalVerifier v;
        const int frame = FirstConfirmation(
            v, 40,
            [&](int i) {
                return Candidate{c.classId, c.staticBox ? cv::Rect(50, 40, 20, 30) : Swaying(i), c.score};
            },
            [&](int i) { return 150 + ((i % 2) != 0 ? c.flickerAmplitude : 0); });
        EXPECT_EQ(frame, c.expectedFrame);
    }
}

TEST(TemporalVerifier, GapsCountAgainstTheWindowAndSilenceLosesTheTrack) {
    TemporalVerifier v;
    Scene scene;
    std::vector<Confirmation> out;
    // Seen every other frame: 8 hits need 15 frames, still within the window.
    int confirmedAt = 0;
    for (int i = 0; i < 15 && confirmedAt == 0; ++i) {
        std::vector<Candidate> c;
        if (i % 2 == 0) {
            c.push_back({firesmoke::kFireClass, Swaying(i), 0.9f});
        }
        v.Update(c, scene.work, 0.5f, out);
        confirmedAt = out.empty() ? 0 : i + 1;
    }
    EXPECT_EQ(confirmedAt, 15);
    ASSERT_EQ(v.Tracks().size(), 1u);
    // A frame without the candidate reports nothing, and a silent window drops the track.
    for (int i = 0; i < 15; ++i) {
        v.Update({}, scene.work, 0.5f, out);
        EXPECT_TRUE(out.empty()) << "frame " << i << " of silence";
    }
    EXPECT_TRUE(v.Tracks().empty());
}

TEST(TemporalVerifier, SensitivityMovesTheScoreThresholds) {
    // A score of 0.4 is below the high threshold at the calibrated sensitivity,
    // above it at the highest.
    for (const float sensitivity : {0.5f, 1.0f}) {
        TemporalVerifier v;
        Scene scene;
        std::vector<Confirmation> out;
        bool confirmed = false;
        for (int i = 0; i < 20; ++i) {
            v.Update({{firesmoke::kSmokeClass, Swaying(i), 0.4f}}, scene.work, sensitivity, out);
            confirmed = confirmed || !out.empty();
        }
        EXPECT_EQ(confirmed, sensitivity > 0.5f) << "sensitivity " << sensitivity;
    }
}

TEST(TemporalVerifier, TracksOfOneCameraAreBounded) {
    firesmoke::VerifierConfig config;
    config.maxTracks = 4;
    TemporalVerifier v(config);
    Scene scene;
    std::vector<Confirmation> out;
    std::vector<Candidate> many;
    for (int i = 0; i < 10; ++i) {
        many.push_back({firesmoke::kFireClass, cv::Rect(i * 15, 5, 10, 10), 0.9f});
    }
    v.Update(many, scene.work, 0.5f, out);
    EXPECT_EQ(v.Tracks().size(), 4u);
}

TEST(TemporalVerifier, FireIsConfirmedOnlyWhileItsFlameColouredPixelsFlicker) {
    struct Case {
        const char* name;
        int classId;
        cv::Scalar even, odd;  // the box's colour on even and odd frames
        bool confirmed;
    };
    const cv::Scalar orange(20, 120, 230), brightOrange(60, 200, 255), grey(90, 90, 90),
        lightGrey(170, 170, 170);
    const Case cases[] = {
        {"flickering flame colour is fire", firesmoke::kFireClass, orange, brightOrange, true},
        {"steady flame colour (cloth, a sign) is not", firesmoke::kFireClass, orange, orange, false},
        {"flicker without flame colour is not", firesmoke::kFireClass, grey, lightGrey, false},
        {"the rule is for fire only: steady smoke confirms", firesmoke::kSmokeClass, grey, grey, true},
    };
    for (const auto& c : cases) {
        TemporalVerifier v;
        firesmoke::FlickerMap flicker;
        Scene scene;
        cv::Mat gray, previous;
        std::vector<Confirmation> out;
        bool confirmed = false;
        for (int i = 0; i < 30; ++i) {
            // The region holds still; only its colour changes. The candidate's box sways.
            const cv::Rect box = Swaying(i);
            scene.work(cv::Rect(50, 40, 22, 30)).setTo(i % 2 == 0 ? c.even : c.odd);
            cv::cvtColor(scene.work, gray, cv::COLOR_BGR2GRAY);
            flicker.Update(gray, previous);
            gray.copyTo(previous);
            v.Update({{c.classId, box, 0.9f}}, scene.work, 0.5f, out, &flicker);
            confirmed = confirmed || !out.empty();
        }
        EXPECT_EQ(confirmed, c.confirmed) << c.name;
    }
}

TEST(TemporalVerifier, IoU) {
    EXPECT_FLOAT_EQ(firesmoke::IoU({0, 0, 10, 10}, {0, 0, 10, 10}), 1.0f);
    EXPECT_FLOAT_EQ(firesmoke::IoU({0, 0, 10, 10}, {5, 0, 10, 10}), 50.0f / 150.0f);
    EXPECT_FLOAT_EQ(firesmoke::IoU({0, 0, 10, 10}, {20, 20, 5, 5}), 0.0f);
    EXPECT_FLOAT_EQ(firesmoke::IoU({0, 0, 0, 0}, {0, 0, 0, 0}), 0.0f);
}

}  // namespace
