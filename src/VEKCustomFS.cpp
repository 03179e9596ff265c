// The plug-in boundary. Every operation catches everything, logs a message that
// names the camera (or the operation) and the cause, and answers false or an
// empty list. The pipeline of one frame:
//   NormaliseFrame -> CameraRegistry -> MotionModel -> Scorer -> TemporalVerifier
//   -> AppendDetections
#include "VEKCustomFS.h"

#include <cmath>
#include <exception>
#include <memory>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <shared_mutex>

#include "camera_registry.h"
#include "detection_output.h"
#include "downscale.h"
#include "frame_input.h"
#include "log.h"
#include "model_config.h"
#include "runtime_params.h"
#include "scorer.h"
#include "temporal_verifier.h"

namespace {

// Where messages about the one-argument RunInference come from.
const char* const kSingleImage = "single-image inference";

// Cameras whose state is kept; beyond this the least recently used is forgotten.
constexpr std::size_t kMaxCameras = 128;

// Buffers of one thread, reused from frame to frame.
struct ThreadScratch {
    firesmoke::FrameBuffers converted;
    firesmoke::FrameDownscaler downscaler;
    cv::Mat work, gray, diff;
    firesmoke::MotionScratch motion;
    firesmoke::ScorerScratch scorer;
    std::vector<firesmoke::Candidate> candidates;
    std::vector<firesmoke::Confirmation> confirmed;
};

ThreadScratch& Scratch() {
    thread_local ThreadScratch scratch;
    return scratch;
}

std::string Describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const cv::Exception& e) {
        return "OpenCV error: " + e.msg;
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

struct VEKCUSTOMFS_NO_EXPORT VEKCustomFS::Impl {
    // Initialize and Destroy take it exclusively, inference shares it, so a host
    // that misuses the life cycle still sees a consistent object.
    mutable std::shared_mutex lifecycle;
    bool loaded = false;
    bool optimised = false;
    float threshold = 0.5f;
    firesmoke::ModelConfig config;
    std::unique_ptr<firesmoke::Scorer> scorer;
    std::unique_ptr<firesmoke::CameraRegistry> cameras;

    static firesmoke::VerifierConfig Verifier(const firesmoke::ModelConfig& model) {
        firesmoke::VerifierConfig v;
        v.flameColour = model.colour;
        v.voteWindow = VOTE_WINDOW;
        v.voteThreshold = VOTE_THRESHOLD;
        v.lowVoteThreshold = LOW_VOTE_THRESHOLD;
        v.highConf = HIGH_CONF_THRESHOLD;
        v.lowConfFire = LOW_CONF_FIRE_THRESHOLD;
        v.boxChange = BBOX_CHANGE_THRESHOLD;
        v.flickerStd = FLICKER_V_STD_THRESHOLD;
        v.flickerMinSamples = FLICKER_MIN_SAMPLES;
        v.minFlameFlicker = static_cast<float>(model.verifier.fireFlickerShare);
        return v;
    }

    void Release() {
        loaded = false;
        optimised = false;
        scorer.reset();
        cameras.reset();
    }

    static int MinArea(cv::Size size) {
        return std::max(
            4, static_cast<int>(std::ceil(DEFAULT_MIN_OBJECT_RATIO * static_cast<double>(size.area()))));
    }

    // Normalises the frame into the thread's scratch; logs and answers false when
    // unusable. @p cameraId is null for single images.
    static bool Prepare(const cv::Mat& image, const std::string* cameraId, ThreadScratch& ts, cv::Mat& bgr) {
        const firesmoke::FrameStatus status = firesmoke::NormaliseFrame(image, bgr, ts.converted);
        if (status == firesmoke::FrameStatus::Ok) {
            return true;
        }
        firesmoke::LogOnce(cameraId != nullptr ? firesmoke::CameraContext(*cameraId) : kSingleImage,
                           "frame:" + std::to_string(static_cast<int>(status)),
                           firesmoke::Describe(status, image) + "; no detections for such frames");
        return false;
    }

    void ToWork(const cv::Mat& bgr, ThreadScratch& ts) const {
        ts.downscaler.Resize(bgr, scorer->WorkSize(bgr.size()), ts.work);
    }

    std::vector<CustomDetection> Infer(const cv::Mat& image, const std::string& cameraId,
                                       const CustomParams& params) {
        std::shared_lock<std::shared_mutex> lock(lifecycle);
        if (!loaded) {
            firesmoke::LogOnce(firesmoke::CameraContext(cameraId), "not-initialised",
                               "no model is loaded (call Initialize); no detections");
            return {};
        }
        ThreadScratch& ts = Scratch();
        cv::Mat bgr;  // a view of the caller's frame or of the thread's buffers; never written
        if (!Prepare(image, &cameraId, ts, bgr)) {
            return {};
        }
        const firesmoke::RuntimeParams runtime = firesmoke::ReadRuntimeParams(params);
        const cv::Size frame = bgr.size();

        std::shared_ptr<firesmoke::CameraState> state = cameras->Acquire(cameraId);
        std::lock_guard<std::mutex> cameraLock(state->mutex);
        if (state->frameSize != frame) {
            if (state->frames > 0) {
                firesmoke::LogOnce(firesmoke::CameraContext(cameraId), "size-change",
                                   "frame size changed to " + std::to_string(frame.width) + "x" +
                                       std::to_string(frame.height) + "; the camera's history starts afresh");
            }
            state->Reset(frame);
        }
        ToWork(bgr, ts);
        cv::cvtColor(ts.work, ts.gray, cv::COLOR_BGR2GRAY);
        state->flicker.Update(ts.gray, state->motion.Previous());
        state->motion.Update(ts.gray, config.colour.backgroundRate, ts.diff, ts.motion);
        scorer->Score(ts.work, ts.diff, MinArea(ts.work.size()), ts.candidates, ts.scorer, &state->scorer);
        state->verifier.Update(ts.candidates, ts.work, runtime.sensitivity, ts.confirmed, &state->flicker);
        ++state->frames;

        std::vector<CustomDetection> out;
        firesmoke::AppendDetections(ts.confirmed, ts.work.size(), frame, threshold,
                                    DEFAULT_MIN_OBJECT_RATIO * static_cast<double>(frame.area()), runtime,
                                    out);
        return out;
    }

    std::vector<CustomDetection> InferSingle(const cv::Mat& image, const CustomParams& params) {
        std::shared_lock<std::shared_mutex> lock(lifecycle);
        if (!loaded) {
            firesmoke::LogOnce(kSingleImage, "not-initialised",
                               "no model is loaded (call Initialize); no detections");
            return {};
        }
        ThreadScratch& ts = Scratch();
        cv::Mat bgr;
        if (!Prepare(image, nullptr, ts, bgr)) {
            return {};
        }
        const firesmoke::RuntimeParams runtime = firesmoke::ReadRuntimeParams(params);
        ToWork(bgr, ts);
        scorer->Score(ts.work, cv::Mat(), MinArea(ts.work.size()), ts.candidates, ts.scorer, nullptr);

        // Without history only a convincing single-frame score counts.
        const float factor = 1.5f - runtime.sensitivity;
        const float minScore = std::max(HIGH_CONF_THRESHOLD * factor, threshold);
        ts.confirmed.clear();
        for (const auto& c : ts.candidates) {
            if (c.score >= minScore) {
                ts.confirmed.push_back({c.classId, c.box, c.score});
            }
        }
        std::vector<CustomDetection> out;
        firesmoke::AppendDetections(ts.confirmed, ts.work.size(), bgr.size(), threshold,
                                    DEFAULT_MIN_OBJECT_RATIO * static_cast<double>(bgr.size().area()),
                                    runtime, out);
        return out;
    }
};

VEKCustomFS::VEKCustomFS() : impl_(std::make_unique<Impl>()) {}

VEKCustomFS::~VEKCustomFS() = default;

bool VEKCustomFS::Initialize(const std::string& modelDir, float threshold, std::string& labelMap) {
    try {
        std::unique_lock<std::shared_mutex> lock(impl_->lifecycle);
        impl_->Release();
        if (!(threshold >= 0.0f && threshold <= 1.0f)) {
            firesmoke::LogMessage("Initialize",
                                  "threshold " + std::to_string(threshold) + " is outside [0, 1]");
            return false;
        }
        firesmoke::ModelConfig config;
        std::string error;
        if (!firesmoke::LoadModelConfig(modelDir, config, error)) {
            firesmoke::LogMessage("Initialize", error);
            return false;
        }
        auto scorer = firesmoke::MakeScorer(config);
        auto cameras = std::make_unique<firesmoke::CameraRegistry>(kMaxCameras, Impl::Verifier(config));
        std::string map = config.LabelMap();

        impl_->config = std::move(config);
        impl_->scorer = std::move(scorer);
        impl_->cameras = std::move(cameras);
        impl_->threshold = threshold;
        impl_->loaded = true;
        labelMap = std::move(map);
        return true;
    } catch (...) {
        impl_->Release();
        firesmoke::LogMessage("Initialize",
                              "model folder '" + modelDir + "': " + Describe(std::current_exception()));
        return false;
    }
}

bool VEKCustomFS::OptimizeModel(bool optimize) {
    try {
        std::unique_lock<std::shared_mutex> lock(impl_->lifecycle);
        if (!impl_->loaded) {
            firesmoke::LogOnce("OptimizeModel", "not-initialised",
                               "no model is loaded (call Initialize first)");
            return false;
        }
        if (!optimize) {
            return true;
        }
        // Warm up: load every pooled network and run the stage once on a
        // full-HD-sized blank frame so that the calling thread's buffers and
        // OpenCV's internal tables exist.
        impl_->scorer->WarmUp();
        ThreadScratch& ts = Scratch();
        impl_->ToWork(cv::Mat::zeros(1080, 1920, CV_8UC3), ts);
        cv::cvtColor(ts.work, ts.gray, cv::COLOR_BGR2GRAY);
        ts.diff = cv::Mat::zeros(ts.work.size(), CV_8U);
        impl_->scorer->Score(ts.work, ts.diff, Impl::MinArea(ts.work.size()), ts.candidates, ts.scorer,
                             nullptr);
        impl_->optimised = true;
        return true;
    } catch (...) {
        firesmoke::LogMessage("OptimizeModel", Describe(std::current_exception()));
        return false;
    }
}

std::vector<CustomDetection> VEKCustomFS::RunInference(const cv::Mat& image, const std::string& cameraId) {
    try {
        return impl_->Infer(image, cameraId, customParams);
    } catch (...) {
        firesmoke::LogOnce(firesmoke::CameraContext(cameraId), "exception",
                           Describe(std::current_exception()));
        return {};
    }
}

std::vector<CustomDetection> VEKCustomFS::RunInference(const cv::Mat& image) {
    try {
        return impl_->InferSingle(image, customParams);
    } catch (...) {
        firesmoke::LogOnce(kSingleImage, "exception", Describe(std::current_exception()));
        return {};
    }
}

bool VEKCustomFS::ConfigureParameters(CustomParams& params) {
    try {
        firesmoke::DescribeParams(params);
        return true;
    } catch (...) {
        firesmoke::LogMessage("ConfigureParameters", Describe(std::current_exception()));
        return false;
    }
}

bool VEKCustomFS::Destroy() {
    try {
        std::unique_lock<std::shared_mutex> lock(impl_->lifecycle);
        impl_->Release();
        return true;
    } catch (...) {
        firesmoke::LogMessage("Destroy", Describe(std::current_exception()));
        return false;
    }
}
