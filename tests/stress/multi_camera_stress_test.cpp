// Many cameras on a few threads, fed with real footage. Cameras are handed from
// thread to thread between chunks of frames (as a host's worker pool does), so a
// camera's history must follow its identifier, never the thread. For a subset of
// the cameras every frame's answer is compared with a sequential run on a fresh
// detector: any mixing of state between cameras or threads shows up there.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "VEKCustomFS.h"
#include "stress_support.h"

namespace {

using stress::Seen;
using Answers = std::vector<std::vector<Seen>>;  // per frame

constexpr float kThreshold = 0.5f;

// Fire clips that alarm and one busy negative (street traffic), all 320x240.
const std::vector<std::string> kClips = {"hamdi-api-kebakaran-mobil.avi", "hamdi-api-kayu.avi",
                                         "hamdi-train-api-kamar1.avi", "hamdi-non-api-jalan-raya.avi"};
constexpr int kFramesPerClip = 120;

struct Workload {
    int threads = 4;
    int cameras = 32;
    long frames = 500;  // per camera
    int chunk = 16;     // frames a thread runs on one camera before handing it back
};

Workload Configured() {
    Workload w;
    // Sanitized builds run the same schedule on fewer frames.
    w.frames = stress::EnvCount("FIRESMOKE_STRESS_FRAMES", stress::ByBuild(500, 250, 32));
    w.chunk = static_cast<int>(stress::ByBuild(16, 16, 8));
    return w;
}

std::chrono::seconds Limit() {
    return std::chrono::seconds(
        stress::EnvCount("FIRESMOKE_STRESS_DEADLINE_S", stress::ByBuild(600, 600, 900)));
}

std::string CameraId(int c) {
    return "stress-cam-" + std::to_string(c);
}

// Camera c plays clip c mod 4 from its own starting frame.
const cv::Mat& FrameOf(const stress::Footage& footage, int camera, long i) {
    return footage.Frame(static_cast<std::size_t>(camera), static_cast<std::size_t>(camera) * 37u,
                         static_cast<std::size_t>(i));
}

class MultiCameraStress : public testing::Test {
protected:
    void SetUp() override {
        footage_ = &stress::LoadFootage(kClips, kFramesPerClip);
        if (footage_->clips.empty()) {
            GTEST_SKIP() << "no footage: " << footage_->missing;
        }
        std::string labels;
        ASSERT_TRUE(detector_.Initialize(FIRESMOKE_TEST_MODEL_DIR, kThreshold, labels));
        ASSERT_TRUE(detector_.OptimizeModel(true));
    }
    void TearDown() override { EXPECT_TRUE(detector_.Destroy()); }

    // Every frame of @p camera, in order, on a fresh detector on this thread.
    Answers Sequential(int camera, long frames) const {
        VEKCustomFS reference;
        std::string labels;
        EXPECT_TRUE(reference.Initialize(FIRESMOKE_TEST_MODEL_DIR, kThreshold, labels));
        Answers out;
        for (long i = 0; i < frames; ++i) {
            out.push_back(
                stress::Reduce(reference.RunInference(FrameOf(*footage_, camera, i), CameraId(camera))));
        }
        reference.Destroy();
        return out;
    }

    const stress::Footage* footage_ = nullptr;
    VEKCustomFS detector_;
};

TEST_F(MultiCameraStress, CamerasHandedBetweenThreadsKeepTheirOwnHistory) {
    const Workload w = Configured();

    // The reference: every fourth camera alone, one after another.
    std::vector<int> checked;
    for (int c = 0; c < w.cameras; c += 4) {
        checked.push_back(c);
    }
    std::vector<Answers> expected(checked.size());
    stress::RunWithDeadline(1, Limit(), "sequential reference", [&](int) {
        for (std::size_t k = 0; k < checked.size(); ++k) {
            expected[k] = Sequential(checked[k], w.frames);
        }
    });

    // The stress run: a queue of cameras; a thread takes one, runs its next chunk of
    // frames, and puts it back at the end for whichever thread comes next.
    std::vector<Answers> got(static_cast<std::size_t>(w.cameras));
    std::vector<long> next(static_cast<std::size_t>(w.cameras), 0);
    std::vector<std::set<std::thread::id>> visitedBy(static_cast<std::size_t>(w.cameras));
    std::deque<int> queue;
    for (int c = 0; c < w.cameras; ++c) {
        queue.push_back(c);
    }
    std::mutex mutex;
    std::condition_variable changed;
    int finished = 0;
    std::atomic<long> frames{0}, singles{0};
    std::atomic<bool> stop{false};
    std::vector<std::string> invalid;

    const auto start = std::chrono::steady_clock::now();
    // Worker threads 0..threads-1 run cameras; the last thread plays a host that
    // reads the configuration while inference runs, as it may.
    stress::RunWithDeadline(w.threads + 1, Limit(), "stress run", [&](int t) {
        if (t == w.threads) {
            while (!stop.load()) {
                CustomParams params;
                EXPECT_TRUE(detector_.ConfigureParameters(params));
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return;
        }
        for (;;) {
            int c = -1;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return !queue.empty() || finished == w.cameras; });
                if (queue.empty()) {
                    return;
                }
                c = queue.front();
                queue.pop_front();
                visitedBy[static_cast<std::size_t>(c)].insert(std::this_thread::get_id());
            }
            auto& answers = got[static_cast<std::size_t>(c)];
            long& i = next[static_cast<std::size_t>(c)];
            const long end = std::min(w.frames, i + w.chunk);
            for (; i < end; ++i) {
                const cv::Mat& frame = FrameOf(*footage_, c, i);
                const auto found = detector_.RunInference(frame, CameraId(c));
                const std::string why = stress::Invalid(found, frame.size(), kThreshold);
                if (!why.empty()) {
                    std::lock_guard<std::mutex> lock(mutex);
                    invalid.push_back(CameraId(c) + " frame " + std::to_string(i) + ": " + why);
                }
                answers.push_back(stress::Reduce(found));
                ++frames;
            }
            // A single image between chunks shares no state with any camera.
            const cv::Mat& still = FrameOf(*footage_, c + 1, i);
            const std::string why = stress::Invalid(detector_.RunInference(still), still.size(), kThreshold);
            ++singles;
            std::lock_guard<std::mutex> lock(mutex);
            if (!why.empty()) {
                invalid.push_back("single image: " + why);
            }
            if (i < w.frames) {
                queue.push_back(c);
            } else if (++finished == w.cameras) {
                stop = true;
            }
            changed.notify_all();
        }
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_TRUE(invalid.empty()) << invalid.size() << " invalid answers, first: " << invalid.front();
    int moved = 0;
    for (int c = 0; c < w.cameras; ++c) {
        EXPECT_EQ(got[static_cast<std::size_t>(c)].size(), static_cast<std::size_t>(w.frames)) << CameraId(c);
        moved += visitedBy[static_cast<std::size_t>(c)].size() > 1 ? 1 : 0;
    }
    long withDetections = 0;
    for (std::size_t k = 0; k < checked.size(); ++k) {
        const auto& want = expected[k];
        const auto& have = got[static_cast<std::size_t>(checked[k])];
        for (const auto& frame : want) {
            withDetections += frame.empty() ? 0 : 1;
        }
        for (std::size_t i = 0; i < want.size() && i < have.size(); ++i) {
            if (!(have[i] == want[i])) {
                ADD_FAILURE() << CameraId(checked[k]) << " differs from its sequential run at frame " << i
                              << ": " << have[i].size() << " detections instead of " << want[i].size();
                break;
            }
        }
    }
    // Without any detection in the reference the comparison would prove little.
    EXPECT_GT(withDetections, 0) << "the reference cameras found nothing in the fire clips";

    const double fps = static_cast<double>(frames.load()) / seconds;
    std::printf(
        "[stress] %d threads x %d cameras x %ld frames (%zu clips, %dx%d): %ld camera frames and %ld "
        "single images in %.1f s = %.0f frames/s; %d of %d cameras ran on more than one thread; %zu "
        "cameras checked against a sequential run (%ld reference frames with detections)\n",
        w.threads, w.cameras, w.frames, footage_->clips.size(), footage_->clips[0][0].cols,
        footage_->clips[0][0].rows, frames.load(), singles.load(), seconds, fps, moved, w.cameras,
        checked.size(), withDetections);
    std::fflush(stdout);
    RecordProperty("frames_per_second", std::to_string(static_cast<long>(fps)));
}

TEST_F(MultiCameraStress, OneCameraFedFromManyThreadsAtOnceWithChangingSizes) {
    // Calls for one camera are serialised, in whatever order they arrive; here
    // they also alternate between two frame sizes, so the camera's history is
    // reset over and over while other threads wait on it. Nothing may crash,
    // hang or produce a malformed record.
    const long frames = stress::EnvCount("FIRESMOKE_STRESS_FRAMES", stress::ByBuild(500, 250, 32)) / 2;
    constexpr int kThreads = 4;
    constexpr int kShared = 3;  // identifiers, all used by every thread
    std::vector<cv::Mat> large;
    for (int i = 0; i < 8; ++i) {
        cv::Mat up;
        cv::resize(FrameOf(*footage_, 0, i), up, cv::Size(480, 360));
        large.push_back(up);
    }
    std::atomic<long> calls{0};
    std::mutex mutex;
    std::vector<std::string> invalid;
    const auto start = std::chrono::steady_clock::now();
    stress::RunWithDeadline(kThreads, Limit(), "shared cameras", [&](int t) {
        for (long i = 0; i < frames; ++i) {
            const std::string id = "shared-" + std::to_string((t + i) % kShared);
            const cv::Mat& frame =
                (t % 2 == 0) ? FrameOf(*footage_, t, i) : large[static_cast<std::size_t>(i % 8)];
            const auto found = detector_.RunInference(frame, id);
            ++calls;
            const std::string why = stress::Invalid(found, frame.size(), kThreshold);
            if (!why.empty()) {
                std::lock_guard<std::mutex> lock(mutex);
                invalid.push_back(id + ": " + why);
            }
        }
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(invalid.empty()) << invalid.size() << " invalid answers, first: " << invalid.front();

    // The shared identifiers still work as ordinary cameras afterwards.
    for (int i = 0; i < 20; ++i) {
        const cv::Mat& frame = FrameOf(*footage_, 0, i);
        EXPECT_EQ(stress::Invalid(detector_.RunInference(frame, "shared-0"), frame.size(), kThreshold), "");
    }
    std::printf(
        "[stress] %d threads on %d shared cameras, alternating 320x240 and 480x360: %ld calls in %.1f s\n",
        kThreads, kShared, calls.load(), seconds);
    std::fflush(stdout);
}

}  // namespace
