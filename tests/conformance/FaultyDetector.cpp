// Fault-injecting VEKCustomFS used to check that the certification program notices
// a misbehaving detector. Without faults it behaves as a well-formed detector:
//   - Initialize succeeds only for an existing directory and writes the label map
//     "fire,background,smoke"; OptimizeModel is true only after it.
//   - Before Initialize every RunInference returns nothing.
//   - Uniform frames never yield a detection.
//   - Two-argument RunInference counts the non-uniform frames of each camera and
//     reports one valid fire detection from the (kDetectAfter + 1)-th frame on.
//   - One-argument RunInference reports one valid smoke detection per non-uniform frame.
//   - A call for "cam_1" or "cam_2" waits (up to kRendezvousMs) until calls for both
//     have begun, so two concurrent calls are certain to overlap in the log, and two
//     calls made one after the other show up as not overlapping.
//   - ConfigureParameters reports "ExclusiveROIs" and the parameters "SmokeScore" and
//     "Sensitivity"; Destroy returns true.
//
// FIRESMOKE_FAULT holds a comma-separated list of the faults below; an unknown name
// ends the process with exit code 97 so that a typo in a case table cannot pass.
//
// FIRESMOKE_CALL_LOG names a file that receives one tab-separated line per event:
//   t_us=<steady clock, microseconds> tid=<thread> obj=<serial> addr=<object> ev=<event> [key=value...]
// Events: ctor, dtor, Initialize, OptimizeModel, ConfigureParameters, Destroy,
// RI1.begin/RI1.end/RI1.throw (one-argument RunInference) and RI2.begin/RI2.end/RI2.throw.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <opencv2/core.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "VEKCustomFS.h"

namespace {

constexpr int kDetectAfter = 4;      // frames of a camera without detection before the first
constexpr int kRendezvousMs = 2000;  // longest wait of a cam_1/cam_2 call for the other one

const std::set<std::string>& KnownFaults() {
    static const std::set<std::string> known = {
        "destroy_false",         // Destroy always returns false
        "destroy_false_second",  // the second Destroy of an object returns false
        "init_accept_any",       // Initialize returns true for any path
        "init_fail",             // Initialize always returns false
        "init_empty_labelmap",   // Initialize succeeds but writes an empty label map
        "optimize_true",         // OptimizeModel returns true without a model
        "config_false",          // ConfigureParameters fills everything but returns false
        "config_no_roi",         // ROI_Config left empty
        "config_one_param",      // only "SmokeScore" in Parameters
        "config_name_case",      // parameters named "smokeScore" and "sensitivity"
        "config_smoke_max100",   // "SmokeScore" with MaxValue 100
        "config_dup_smoke",      // two "SmokeScore" elements, both with DataType "Float"
        "uninit_detect",         // a detection from every RunInference before Initialize
        "throw_on_empty",        // one-argument RunInference throws on an empty image
        "gray_detect",           // a detection on uniform frames (two-argument, initialised)
        "video_class1",          // three detections, the second of class 1
        "video_nan",             // one detection with a NaN confidence
        "video_neg_box",         // a box of width -1, then one of height -1
        "video_no_detections",   // never a detection on video frames
        "worker_throw",          // RunInference for "cam_2" throws
        "slow_ms",               // slow_ms=N: one-argument RunInference takes at least N ms
    };
    return known;
}

struct FaultSet {
    std::map<std::string, std::string> active;
    bool Has(const std::string& name) const { return active.count(name) != 0; }
    long Number(const std::string& name) const {
        auto it = active.find(name);
        return it == active.end() ? 0 : std::strtol(it->second.c_str(), nullptr, 10);
    }
};

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

FaultSet ReadFaults() {
    FaultSet faults;
    const char* env = std::getenv("FIRESMOKE_FAULT");
    if (env == nullptr) {
        return faults;
    }
    std::stringstream stream{std::string(env)};
    std::string token;
    while (std::getline(stream, token, ',')) {
        token = Trim(token);
        if (token.empty()) {
            continue;
        }
        const auto eq = token.find('=');
        std::string name = Trim(token.substr(0, eq));
        std::string value = eq == std::string::npos ? std::string() : Trim(token.substr(eq + 1));
        if (KnownFaults().count(name) == 0) {
            std::fprintf(stderr, "FaultyDetector: unknown fault '%s' in FIRESMOKE_FAULT\n", name.c_str());
            std::exit(97);
        }
        faults.active[name] = value;
    }
    return faults;
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Appends one line per event; shared by all objects and threads of the process.
class CallLog {
public:
    static CallLog& Instance() {
        static CallLog log;
        return log;
    }

    void Write(int serial, const void* object, const std::string& event,
               const std::vector<std::pair<std::string, std::string>>& fields = {}) {
        if (file_ == nullptr) {
            return;
        }
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
        std::ostringstream line;
        line << "t_us=" << us << "\ttid=" << std::this_thread::get_id() << "\tobj=" << serial
             << "\taddr=" << object << "\tev=" << event;
        for (const auto& [key, value] : fields) {
            line << '\t' << key << '=' << Escape(value);
        }
        line << '\n';
        const std::string text = line.str();
        std::lock_guard<std::mutex> lock(mutex_);
        std::fputs(text.c_str(), file_);
        std::fflush(file_);
    }

    CallLog(const CallLog&) = delete;
    CallLog& operator=(const CallLog&) = delete;

private:
    CallLog() {
        const char* path = std::getenv("FIRESMOKE_CALL_LOG");
        if (path != nullptr && *path != '\0') {
            file_ = std::fopen(path, "a");
            if (file_ == nullptr) {
                std::fprintf(stderr, "FaultyDetector: cannot open call log '%s'\n", path);
                std::exit(98);
            }
        }
    }
    ~CallLog() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }

    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

std::atomic<int> g_nextSerial{1};

bool IsUniform(const cv::Mat& image) {
    cv::Scalar mean;
    cv::Scalar stddev;
    cv::meanStdDev(image, mean, stddev);
    for (int c = 0; c < 4; ++c) {
        if (stddev[c] != 0.0) {
            return false;
        }
    }
    return true;
}

CustomDetection MakeDetection(int classId, float confidence, cv::Rect box) {
    CustomDetection d;
    d.classId = classId;
    d.confidence = confidence;
    d.box = box;
    return d;
}

std::string Size(const cv::Mat& image) {
    return std::to_string(image.cols) + "x" + std::to_string(image.rows);
}

std::string FloatText(float value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(value));
    return buf;
}

void SleepAtLeast(long ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_until(deadline);
    }
}

}  // namespace

struct VEKCustomFS::Impl {
    FaultSet faults = ReadFaults();
    int serial = g_nextSerial.fetch_add(1);
    std::atomic<bool> initialized{false};
    std::atomic<int> destroyCalls{0};
    std::mutex camerasMutex;
    std::map<std::string, int> videoFrames;  // non-uniform frames seen per camera
    std::mutex workersMutex;
    std::condition_variable workersArrived;
    int workers = 0;  // cam_1/cam_2 calls begun so far

    void Log(const void* object, const std::string& event,
             const std::vector<std::pair<std::string, std::string>>& fields = {}) const {
        CallLog::Instance().Write(serial, object, event, fields);
    }

    std::vector<CustomDetection> Detect2(const cv::Mat& image, const std::string& cameraId) {
        if (cameraId == "cam_1" || cameraId == "cam_2") {
            {
                std::unique_lock<std::mutex> lock(workersMutex);
                ++workers;
                workersArrived.notify_all();
                workersArrived.wait_for(lock, std::chrono::milliseconds(kRendezvousMs),
                                        [this] { return workers >= 2; });
            }
            if (cameraId == "cam_2" && faults.Has("worker_throw")) {
                throw std::runtime_error("injected fault: inference for cam_2 failed");
            }
        }
        if (!initialized) {
            if (faults.Has("uninit_detect")) {
                return {MakeDetection(0, 0.9f, cv::Rect(0, 0, 1, 1))};
            }
            return {};
        }
        if (image.empty()) {
            return {};
        }
        if (IsUniform(image)) {
            if (faults.Has("gray_detect")) {
                return {MakeDetection(2, 0.7f, cv::Rect(0, 0, image.cols / 2, image.rows / 2))};
            }
            return {};
        }
        int seen = 0;
        {
            std::lock_guard<std::mutex> lock(camerasMutex);
            seen = ++videoFrames[cameraId];
        }
        if (seen <= kDetectAfter || faults.Has("video_no_detections")) {
            return {};
        }
        if (faults.Has("video_class1")) {
            return {MakeDetection(0, 0.0f, cv::Rect(1, 1, 10, 10)),
                    MakeDetection(1, 1.0f, cv::Rect(2, 2, 10, 10)),
                    MakeDetection(2, 0.5f, cv::Rect(3, 3, 0, 0))};
        }
        if (faults.Has("video_nan")) {
            return {MakeDetection(0, std::numeric_limits<float>::quiet_NaN(), cv::Rect(1, 1, 10, 10))};
        }
        if (faults.Has("video_neg_box")) {
            return {MakeDetection(0, 0.7f, cv::Rect(1, 1, -1, 5)),
                    MakeDetection(2, 0.7f, cv::Rect(1, 1, 5, -1))};
        }
        return {
            MakeDetection(0, 0.8f, cv::Rect(image.cols / 4, image.rows / 4, image.cols / 2, image.rows / 2))};
    }

    std::vector<CustomDetection> Detect1(const cv::Mat& image) {
        if (image.empty() && faults.Has("throw_on_empty")) {
            throw std::runtime_error("injected fault: empty image");
        }
        if (!initialized) {
            if (faults.Has("uninit_detect")) {
                return {MakeDetection(2, 0.9f, cv::Rect(0, 0, 1, 1))};
            }
            return {};
        }
        if (image.empty()) {
            return {};
        }
        if (faults.Has("slow_ms")) {
            SleepAtLeast(faults.Number("slow_ms"));
        }
        if (IsUniform(image)) {
            return {};
        }
        return {MakeDetection(2, 0.6f, cv::Rect(0, 0, image.cols / 2, image.rows / 2))};
    }
};

VEKCustomFS::VEKCustomFS() : impl_(std::make_unique<Impl>()) {
    impl_->Log(this, "ctor");
}

VEKCustomFS::~VEKCustomFS() {
    impl_->Log(this, "dtor");
}

bool VEKCustomFS::Initialize(const std::string& modelDir, float threshold, std::string& labelMap) {
    const std::string labelMapIn = labelMap;
    bool ok = false;
    if (impl_->faults.Has("init_fail")) {
        ok = false;
    } else if (impl_->faults.Has("init_accept_any")) {
        ok = true;
    } else {
        std::error_code ec;
        ok = std::filesystem::is_directory(modelDir, ec);
    }
    if (ok) {
        labelMap =
            impl_->faults.Has("init_empty_labelmap") ? std::string() : std::string("fire,background,smoke");
        impl_->initialized = true;
    }
    impl_->Log(this, "Initialize",
               {{"dir", modelDir},
                {"threshold", FloatText(threshold)},
                {"labelmap_in", labelMapIn},
                {"result", ok ? "1" : "0"},
                {"labelmap_out", labelMap}});
    return ok;
}

bool VEKCustomFS::OptimizeModel(bool optimize) {
    const bool ok = impl_->faults.Has("optimize_true") || impl_->initialized;
    impl_->Log(this, "OptimizeModel", {{"arg", optimize ? "1" : "0"}, {"result", ok ? "1" : "0"}});
    return ok;
}

std::vector<CustomDetection> VEKCustomFS::RunInference(const cv::Mat& image, const std::string& cameraId) {
    impl_->Log(this, "RI2.begin", {{"size", Size(image)}, {"cam", cameraId}});
    try {
        auto result = impl_->Detect2(image, cameraId);
        impl_->Log(this, "RI2.end", {{"cam", cameraId}, {"n", std::to_string(result.size())}});
        return result;
    } catch (const std::exception& e) {
        impl_->Log(this, "RI2.throw", {{"cam", cameraId}, {"what", e.what()}});
        throw;
    }
}

std::vector<CustomDetection> VEKCustomFS::RunInference(const cv::Mat& image) {
    impl_->Log(this, "RI1.begin", {{"size", Size(image)}});
    try {
        auto result = impl_->Detect1(image);
        impl_->Log(this, "RI1.end", {{"n", std::to_string(result.size())}});
        return result;
    } catch (const std::exception& e) {
        impl_->Log(this, "RI1.throw", {{"what", e.what()}});
        throw;
    }
}

bool VEKCustomFS::ConfigureParameters(CustomParams& params) {
    const auto& f = impl_->faults;
    CustomROIConfig roi;
    roi.Rectangle = true;
    roi.Polygon = false;
    roi.Line = false;
    roi.MinItems = 0;
    roi.MaxItems = 20;
    roi.Name = "ExclusiveROIs";

    auto parameter = [](const std::string& name, const std::string& type, int maxValue) {
        CustomParameter p;
        p.Name = name;
        p.DataType = type;
        p.Number = 0.5f;
        p.MaxValue = maxValue;
        p.MinValue = 0;
        return p;
    };
    const bool lowerCase = f.Has("config_name_case");
    const std::string smokeName = lowerCase ? "smokeScore" : "SmokeScore";
    const std::string sensitivityName = lowerCase ? "sensitivity" : "Sensitivity";
    const std::string smokeType = f.Has("config_dup_smoke") ? "Float" : "float";
    const int smokeMax = f.Has("config_smoke_max100") ? 100 : 1;

    params.ROI_Config.clear();
    if (!f.Has("config_no_roi")) {
        params.ROI_Config.push_back(roi);
    }
    params.Parameters.clear();
    params.Parameters.push_back(parameter(smokeName, smokeType, smokeMax));
    if (!f.Has("config_one_param")) {
        params.Parameters.push_back(parameter(sensitivityName, "float", 1));
    }
    if (f.Has("config_dup_smoke")) {
        params.Parameters.push_back(parameter(smokeName, smokeType, smokeMax));
    }
    const bool ok = !f.Has("config_false");
    impl_->Log(this, "ConfigureParameters",
               {{"result", ok ? "1" : "0"},
                {"rois", std::to_string(params.ROI_Config.size())},
                {"parameters", std::to_string(params.Parameters.size())}});
    return ok;
}

bool VEKCustomFS::Destroy() {
    const int call = ++impl_->destroyCalls;
    impl_->initialized = false;
    {
        std::lock_guard<std::mutex> lock(impl_->camerasMutex);
        impl_->videoFrames.clear();
    }
    bool ok = true;
    if (impl_->faults.Has("destroy_false") || (call == 2 && impl_->faults.Has("destroy_false_second"))) {
        ok = false;
    }
    impl_->Log(this, "Destroy", {{"call", std::to_string(call)}, {"result", ok ? "1" : "0"}});
    return ok;
}
