// The detector on synthetic scenes: finds the flame, stays quiet on the empty
// room and on a steady lamp, keeps cameras apart and applies host parameters.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "VEKCustomFS.h"
#include "synthetic_scene.h"

namespace {

const cv::Size kSize(640, 360);

cv::Mat Frame(int i, bool withFire = true) {
    return firesmoke::RenderSyntheticFrame(i, kSize, withFire);
}

class DetectorScene : public testing::Test {
protected:
    void SetUp() override {
        std::string labels;
        ASSERT_TRUE(detector.Initialize(FIRESMOKE_TEST_MODEL_DIR, 0.5f, labels));
    }
    void TearDown() override { detector.Destroy(); }

    // Forgets every camera, as a new detector would.
    void Reload() {
        std::string labels;
        ASSERT_TRUE(detector.Destroy());
        ASSERT_TRUE(detector.Initialize(FIRESMOKE_TEST_MODEL_DIR, 0.5f, labels));
    }

    // Runs frames [from, from + count) of the scene on @p camera; returns the
    // 1-based index of the first frame with detections (0 for none) and collects
    // every detection in found.
    int FirstDetection(const std::string& camera, int count, bool withFire = true, int from = 0) {
        int first = 0;
        for (int i = 0; i < count; ++i) {
            const auto d = detector.RunInference(Frame(from + i, withFire), camera);
            found.insert(found.end(), d.begin(), d.end());
            if (!d.empty() && first == 0) {
                first = i + 1;
            }
        }
        return first;
    }

    void SetExclusive(const cv::Rect2d& r, float smokeScore = 0.5f) {
        CustomParams p;
        CustomParameter smoke;
        smoke.Name = "SmokeScore";
        smoke.Number = smokeScore;
        p.Parameters.push_back(smoke);
        if (!r.empty()) {
            CustomItem item;
            item.Text = "ExclusiveROIs";
            item.Values = {r.x, r.y, r.width, r.height};
            p.Items.push_back(item);
        }
        ASSERT_TRUE(detector.SetParameters(p));
    }

    VEKCustomFS detector;
    std::vector<CustomDetection> found;
};

TEST_F(DetectorScene, FindsTheFlameWithinAFewFramesAndReportsValidRecords) {
    const int first = FirstDetection("fire", 40);
    EXPECT_GE(first, 8) << "confirmed before 8 votes could be collected";
    EXPECT_LE(first, 20) << "confirmation took too long";
    ASSERT_FALSE(found.empty());
    const firesmoke::SyntheticLayout layout;
    const double w = kSize.width, h = kSize.height;
    const cv::Rect2d flame(layout.flame.x * w, layout.flame.y * h, layout.flame.width * w,
                           layout.flame.height * h);
    bool fireOnFlame = false;
    for (const auto& d : found) {
        EXPECT_TRUE(d.classId == 0 || d.classId == 2) << d.classId;
        EXPECT_GE(d.confidence, 0.5f);
        EXPECT_LE(d.confidence, 1.0f);
        EXPECT_EQ(d.box & cv::Rect(cv::Point(), kSize), d.box) << "box outside the frame";
        fireOnFlame = fireOnFlame || (d.classId == 0 && (cv::Rect2d(d.box) & flame).area() > 0);
    }
    EXPECT_TRUE(fireOnFlame) << "no fire box overlaps the flame";
}

TEST_F(DetectorScene, StaysQuietOnTheEmptyRoomAndOnASteadyLamp) {
    EXPECT_EQ(FirstDetection("room", 60, false), 0);

    // An orange lamp: fire-coloured, but it never moves or flickers.
    cv::Mat lamp = Frame(0, false);
    cv::ellipse(lamp, cv::Point(320, 120), cv::Size(30, 45), 0, 0, 360, cv::Scalar(40, 150, 255), cv::FILLED);
    for (int i = 0; i < 60; ++i) {
        EXPECT_TRUE(detector.RunInference(lamp, "lamp").empty()) << "frame " << i;
    }
}

TEST_F(DetectorScene, CamerasKeepSeparateHistories) {
    // Interleaving a quiet camera does not change when the fire camera confirms.
    const int alone = FirstDetection("busy", 30);
    Reload();
    int interleaved = 0;
    for (int i = 0; i < 30; ++i) {
        EXPECT_TRUE(detector.RunInference(Frame(i, false), "quiet").empty());
        if (!detector.RunInference(Frame(i), "busy").empty() && interleaved == 0) {
            interleaved = i + 1;
        }
    }
    EXPECT_GT(alone, 0);
    EXPECT_EQ(interleaved, alone);
}

TEST_F(DetectorScene, ASizeChangeRestartsTheCamerasHistory) {
    ASSERT_GT(FirstDetection("cam", 30), 0);
    // The same frames again at half size: evidence must be collected anew.
    int first = 0;
    for (int i = 0; i < 30 && first == 0; ++i) {
        cv::Mat half;
        cv::resize(Frame(i), half, kSize / 2);
        if (!detector.RunInference(half, "cam").empty()) {
            first = i + 1;
        }
    }
    EXPECT_GE(first, 8) << "confirmed before 8 votes could be collected";
    EXPECT_GT(first, 0) << "the fire was never confirmed again";
}

TEST_F(DetectorScene, SingleImagesShareNoHistory) {
    // The one-argument overload answers the same for a frame whatever came before.
    const auto before = detector.RunInference(Frame(5));
    FirstDetection("cam", 20);
    for (int i = 0; i < 10; ++i) {
        detector.RunInference(Frame(i));
    }
    const auto after = detector.RunInference(Frame(5));
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(before[i].box, after[i].box);
        EXPECT_EQ(before[i].confidence, after[i].confidence);
    }
}

TEST_F(DetectorScene, ExclusiveRectanglesAndSmokeScoreTakeEffect) {
    struct Case {
        const char* name;
        cv::Rect2d exclusive;
        float smokeScore;
        bool expectFire;
        bool expectSmoke;  // whether smoke may appear at all
    };
    const Case cases[] = {
        {"whole frame excluded", {0, 0, 1, 1}, 0.5f, false, false},
        {"a corner excluded", {0, 0, 0.1, 0.1}, 0.5f, true, true},
        {"smoke needs certainty", {}, 1.0f, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetExclusive(c.exclusive, c.smokeScore);
        found.clear();
        FirstDetection(std::string("params-") + c.name, 40);
        bool fire = false, smoke = false;
        for (const auto& d : found) {
            fire = fire || d.classId == 0;
            smoke = smoke || (d.classId == 2 && d.confidence < 1.0f);
        }
        EXPECT_EQ(fire, c.expectFire);
        if (!c.expectSmoke) {
            EXPECT_FALSE(smoke);
        }
    }
}

TEST_F(DetectorScene, ConcurrentCamerasGetTheSameAnswersAsSequentialOnes) {
    constexpr int kCameras = 4;
    constexpr int kFrames = 24;
    // Reference: each camera alone, one after another.
    std::vector<std::vector<std::size_t>> expected(kCameras);
    for (int c = 0; c < kCameras; ++c) {
        for (int i = 0; i < kFrames; ++i) {
            expected[c].push_back(
                detector.RunInference(Frame(i, c % 2 == 0), "cam-" + std::to_string(c)).size());
        }
    }
    // The same cameras on four threads at once, from a fresh start.
    Reload();
    std::vector<std::vector<std::size_t>> got(kCameras);
    std::vector<std::thread> threads;
    for (int c = 0; c < kCameras; ++c) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < kFrames; ++i) {
                got[c].push_back(
                    detector.RunInference(Frame(i, c % 2 == 0), "cam-" + std::to_string(c)).size());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(got, expected);
}

}  // namespace
