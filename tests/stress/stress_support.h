// Helpers of the stress tests: footage held in memory, resident memory, a
// deadline for worker threads, and the checks every detection must pass.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "IVEKCustomClass.h"

namespace stress {

/// The sanitizer this program is built with. Sanitized builds run the same
/// schedules on less work (ThreadSanitizer slows the detector some fifty times,
/// AddressSanitizer some three), and resident-memory bounds are not checked there
/// (shadow memory and the freed-memory quarantine dominate what the process holds).
enum class Sanitizer { None, Address, Thread };

#if defined(__SANITIZE_THREAD__)
constexpr Sanitizer kSanitizer = Sanitizer::Thread;
#elif defined(__SANITIZE_ADDRESS__)
constexpr Sanitizer kSanitizer = Sanitizer::Address;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr Sanitizer kSanitizer = Sanitizer::Thread;
#elif __has_feature(address_sanitizer)
constexpr Sanitizer kSanitizer = Sanitizer::Address;
#else
constexpr Sanitizer kSanitizer = Sanitizer::None;
#endif
#else
constexpr Sanitizer kSanitizer = Sanitizer::None;
#endif

constexpr bool kSanitized = kSanitizer != Sanitizer::None;

/// @brief @p plain, @p address or @p thread by the build's sanitizer.
constexpr long ByBuild(long plain, long address, long thread) {
    return kSanitizer == Sanitizer::Thread ? thread : kSanitizer == Sanitizer::Address ? address : plain;
}

/// @brief A positive integer from the environment variable @p name, else @p fallback.
long EnvCount(const char* name, long fallback);

/// @brief The folder of the real footage: $FIRESMOKE_SHARED_DATA/videos, else the
/// build's default.
std::string FootageFolder();

/// @brief Decoded frames of a few clips, kept in memory (8-bit BGR).
struct Footage {
    std::vector<std::string> names;
    std::vector<std::vector<cv::Mat>> clips;
    std::string missing;  ///< why nothing was loaded, when clips is empty

    /// Frame @p i of a camera that plays clip @p clip from @p offset, going back and
    /// forth through the clip so that looping never cuts the scene.
    const cv::Mat& Frame(std::size_t clip, std::size_t offset, std::size_t i) const;
};

/// @brief Decodes at most @p maxFrames frames of each named clip of the footage
/// folder, once per process. Clips that do not exist are left out.
const Footage& LoadFootage(const std::vector<std::string>& names, int maxFrames);

/// @brief Resident memory of this process in bytes (/proc/self/statm).
std::size_t ResidentBytes();

/// @brief Bytes that malloc has handed out and not yet got back (mallinfo2: in use
/// in the arenas plus mmapped blocks). Unlike resident memory it does not include
/// free memory that the allocator keeps for reuse.
std::size_t HeapInUse();

inline double Megabytes(std::size_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

/// @brief Runs @p work(i) for i in [0, threads) on as many threads and waits for
/// all of them until @p limit has passed. A thread still running then is stuck
/// (deadlock or livelock): it can be neither joined nor abandoned safely, so the
/// process reports it and exits with a failure instead of hanging the test run.
/// Exceptions thrown by @p work are rethrown here.
void RunWithDeadline(int threads, std::chrono::seconds limit, const std::string& what,
                     const std::function<void(int)>& work);

/// @brief A detection reduced to what the caller sees, comparable for equality.
struct Seen {
    int classId;
    cv::Rect box;
    float confidence;
    bool operator==(const Seen& o) const {
        return classId == o.classId && box == o.box && confidence == o.confidence;
    }
};

/// @brief The detections of one frame as Seen records.
std::vector<Seen> Reduce(const std::vector<CustomDetection>& detections);

/// @brief Empty when every detection is a fire (0) or smoke (2) record with a
/// confidence in [@p threshold, 1] and a non-empty box inside @p frame; else what is wrong.
std::string Invalid(const std::vector<CustomDetection>& detections, cv::Size frame, float threshold);

}  // namespace stress
