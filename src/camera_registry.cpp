#include "camera_registry.h"

#include <algorithm>
#include <functional>

namespace firesmoke {

namespace {
constexpr std::size_t kMaxKeyLength = 256;
}

CameraRegistry::CameraRegistry(std::size_t capacity, const VerifierConfig& config)
    : capacity_(std::max<std::size_t>(1, capacity)), config_(config) {
    map_.reserve(capacity_ + 1);
}

std::string CameraRegistry::KeyOf(const std::string& cameraId) {
    if (cameraId.size() <= kMaxKeyLength) {
        return cameraId;
    }
    return cameraId.substr(0, kMaxKeyLength) + "#" + std::to_string(cameraId.size()) + "#" +
           std::to_string(std::hash<std::string>{}(cameraId));
}

std::shared_ptr<CameraState> CameraRegistry::Acquire(const std::string& cameraId) {
    // A known short identifier is found without building a key (no allocation).
    const bool plain = cameraId.size() <= kMaxKeyLength;
    std::string key = plain ? std::string() : KeyOf(cameraId);
    std::shared_ptr<CameraState> dropped;  // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(plain ? cameraId : key);
    if (it != map_.end()) {
        lru_.splice(lru_.begin(), lru_, it->second.position);
        return it->second.state;
    }
    if (plain) {
        key = cameraId;
    }
    if (map_.size() >= capacity_) {
        auto victim = map_.find(lru_.back());
        dropped = std::move(victim->second.state);
        map_.erase(victim);
        lru_.pop_back();
    }
    // The phase comes from the identifier alone, so that a camera's answers never
    // depend on which cameras came before it or on which thread came first.
    auto state = std::make_shared<CameraState>(config_, static_cast<unsigned>(std::hash<std::string>{}(key)));
    lru_.push_front(key);
    map_.emplace(std::move(key), Entry{state, lru_.begin()});
    return state;
}

void CameraRegistry::Clear() {
    std::unordered_map<std::string, Entry> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old.swap(map_);
        lru_.clear();
    }
}

std::size_t CameraRegistry::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return map_.size();
}

}  // namespace firesmoke
