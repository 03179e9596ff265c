// Per-camera state, bounded: the least recently used camera is forgotten when
// a new one arrives and the registry is full.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>
#include <unordered_map>

#include "flicker.h"
#include "motion.h"
#include "scorer.h"
#include "temporal_verifier.h"

namespace firesmoke {

/// @brief Everything the detector remembers about one camera.
struct CameraState {
    /// @param phase offsets the camera's expensive frames against other cameras' (ScorerMemory::phase).
    CameraState(const VerifierConfig& config, unsigned phase) : verifier(config) { scorer.phase = phase; }

    std::mutex mutex;    ///< serialises the camera's frames
    cv::Size frameSize;  ///< size of the caller's frames; a change resets the state
    MotionModel motion;
    FlickerMap flicker;
    TemporalVerifier verifier;
    ScorerMemory scorer;     ///< the scorer's last evaluation of this camera
    std::size_t frames = 0;  ///< frames seen since the last reset

    /// @brief Starts afresh for frames of @p size.
    void Reset(cv::Size size) {
        frameSize = size;
        motion.Reset();
        flicker.Reset();
        verifier.Reset();
        scorer.Reset();
        frames = 0;
    }
};

class CameraRegistry {
public:
    /// @param capacity most cameras held at once (at least 1).
    CameraRegistry(std::size_t capacity, const VerifierConfig& config);

    /// @brief The state of @p cameraId, created when new. The caller locks its mutex.
    /// A state dropped from the registry stays valid for whoever still holds it.
    std::shared_ptr<CameraState> Acquire(const std::string& cameraId);

    /// @brief Forgets every camera.
    void Clear();

    std::size_t Size() const;
    std::size_t Capacity() const { return capacity_; }

    /// @brief The key a camera identifier is stored under: the identifier itself,
    /// or for very long ones a bounded prefix plus a hash of the whole.
    static std::string KeyOf(const std::string& cameraId);

private:
    using Lru = std::list<std::string>;
    struct Entry {
        std::shared_ptr<CameraState> state;
        Lru::iterator position;
    };

    const std::size_t capacity_;
    const VerifierConfig config_;
    mutable std::mutex mutex_;  ///< guards map_ and lru_ only, held briefly
    std::unordered_map<std::string, Entry> map_;
    Lru lru_;  ///< most recently used first
};

}  // namespace firesmoke
