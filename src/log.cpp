#include "log.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <mutex>
#include <unordered_set>

namespace firesmoke {
namespace {

constexpr std::size_t kMaxRemembered = 4096;

std::mutex& OnceMutex() {
    static std::mutex m;
    return m;
}

std::unordered_set<std::size_t>& Reported() {
    static std::unordered_set<std::size_t> s;
    return s;
}

}  // namespace

std::string PrintableCamera(const std::string& camera) {
    constexpr std::size_t kMax = 64;
    std::string out;
    out.reserve(std::min(camera.size(), kMax) + 16);
    for (std::size_t i = 0; i < camera.size() && i < kMax; ++i) {
        const auto c = static_cast<unsigned char>(camera[i]);
        out.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
    }
    if (camera.size() > kMax) {
        out += "...(" + std::to_string(camera.size()) + " bytes)";
    }
    return out;
}

std::string CameraContext(const std::string& camera) {
    return "camera '" + PrintableCamera(camera) + "'";
}

void LogMessage(const std::string& where, const std::string& message) noexcept {
    try {
        const std::string line = "[VEKCustomFS] " + where + ": " + message + "\n";
        std::fputs(line.c_str(), stderr);
    } catch (...) {
        std::fputs("[VEKCustomFS] (message lost: out of memory)\n", stderr);
    }
}

void LogOnce(const std::string& where, const std::string& cause, const std::string& message) noexcept {
    try {
        const std::size_t key = std::hash<std::string>{}(where)*31u ^ std::hash<std::string>{}(cause);
        {
            std::lock_guard<std::mutex> lock(OnceMutex());
            auto& reported = Reported();
            if (reported.count(key) != 0) {
                return;
            }
            if (reported.size() >= kMaxRemembered) {
                reported.clear();
            }
            reported.insert(key);
        }
        LogMessage(where, message);
    } catch (...) {
        LogMessage(where, message);
    }
}

void ResetLogOnce() noexcept {
    std::lock_guard<std::mutex> lock(OnceMutex());
    Reported().clear();
}

}  // namespace firesmoke
