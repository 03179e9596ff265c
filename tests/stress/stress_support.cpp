#include "stress_support.h"

#include <malloc.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <sstream>

namespace stress {

long EnvCount(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end != nullptr && *end == '\0' && value > 0) ? value : fallback;
}

std::string FootageFolder() {
    const char* root = std::getenv("FIRESMOKE_SHARED_DATA");
    return std::string(root != nullptr && *root != '\0' ? root : FIRESMOKE_SHARED_DATA) + "/videos";
}

const cv::Mat& Footage::Frame(std::size_t clip, std::size_t offset, std::size_t i) const {
    const auto& frames = clips[clip % clips.size()];
    const std::size_t n = frames.size();
    if (n == 1) {
        return frames[0];
    }
    const std::size_t period = 2 * (n - 1);
    const std::size_t k = (offset + i) % period;
    return frames[k < n ? k : period - k];
}

const Footage& LoadFootage(const std::vector<std::string>& names, int maxFrames) {
    static std::mutex mutex;
    static std::map<std::string, Footage> cache;
    std::string key = std::to_string(maxFrames);
    for (const auto& n : names) {
        key += "|" + n;
    }
    std::lock_guard<std::mutex> lock(mutex);
    auto found = cache.find(key);
    if (found != cache.end()) {
        return found->second;
    }
    Footage footage;
    const std::string folder = FootageFolder();
    for (const auto& name : names) {
        cv::VideoCapture capture(folder + "/" + name);
        if (!capture.isOpened()) {
            continue;
        }
        std::vector<cv::Mat> frames;
        cv::Mat frame;
        while (static_cast<int>(frames.size()) < maxFrames && capture.read(frame) && !frame.empty()) {
            frames.push_back(frame.clone());
        }
        if (!frames.empty()) {
            footage.names.push_back(name);
            footage.clips.push_back(std::move(frames));
        }
    }
    if (footage.clips.empty()) {
        footage.missing = "none of the clips could be read from " + folder;
    }
    return cache.emplace(key, std::move(footage)).first->second;
}

std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void RunWithDeadline(int threads, std::chrono::seconds limit, const std::string& what,
                     const std::function<void(int)>& work) {
    std::vector<std::future<void>> running;
    running.reserve(static_cast<std::size_t>(threads));
    for (int i = 0; i < threads; ++i) {
        running.push_back(std::async(std::launch::async, work, i));
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (std::size_t i = 0; i < running.size(); ++i) {
        if (running[i].wait_until(deadline) != std::future_status::ready) {
            std::fprintf(stderr,
                         "%s: thread %zu of %d still running after %lld s: deadlock or livelock; "
                         "exiting instead of hanging\n",
                         what.c_str(), i, threads, static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(EXIT_FAILURE);
        }
    }
    for (auto& r : running) {
        r.get();
    }
}

std::vector<Seen> Reduce(const std::vector<CustomDetection>& detections) {
    std::vector<Seen> out;
    out.reserve(detections.size());
    for (const auto& d : detections) {
        out.push_back({d.classId, d.box, d.confidence});
    }
    return out;
}

std::string Invalid(const std::vector<CustomDetection>& detections, cv::Size frame, float threshold) {
    const cv::Rect image(0, 0, frame.width, frame.height);
    for (const auto& d : detections) {
        std::ostringstream why;
        if (d.classId != 0 && d.classId != 2) {
            why << "class " << d.classId;
        } else if (!(d.confidence >= threshold && d.confidence <= 1.0f)) {
            why << "confidence " << d.confidence;
        } else if (d.box.empty() || (d.box & image) != d.box) {
            why << "box " << d.box << " in a " << frame << " frame";
        }
        if (!why.str().empty()) {
            return why.str();
        }
    }
    return {};
}

}  // namespace stress
