#include "detection_output.h"

#include <algorithm>
#include <cmath>

#include "scorer.h"

namespace firesmoke {

namespace {

bool InExclusiveArea(const cv::Rect& box, cv::Size frame, const RuntimeParams& params) {
    const float cx =
        (static_cast<float>(box.x) + 0.5f * static_cast<float>(box.width)) / static_cast<float>(frame.width);
    const float cy = (static_cast<float>(box.y) + 0.5f * static_cast<float>(box.height)) /
                     static_cast<float>(frame.height);
    for (int i = 0; i < params.exclusiveCount; ++i) {
        const cv::Rect2f& r = params.exclusive[static_cast<std::size_t>(i)];
        if (cx >= r.x && cx <= r.x + r.width && cy >= r.y && cy <= r.y + r.height) {
            return true;
        }
    }
    return false;
}

}  // namespace

void AppendDetections(const std::vector<Confirmation>& found, cv::Size work, cv::Size frame, float threshold,
                      double minArea, const RuntimeParams& params, std::vector<CustomDetection>& out) {
    const double sx = static_cast<double>(frame.width) / work.width;
    const double sy = static_cast<double>(frame.height) / work.height;
    const cv::Rect bounds(0, 0, frame.width, frame.height);
    for (const auto& f : found) {
        const float conf = std::clamp(f.confidence, 0.0f, 1.0f);
        if (!(conf >= threshold) || (f.classId == kSmokeClass && conf < params.smokeScore)) {
            continue;
        }
        const int x0 = static_cast<int>(std::floor(f.box.x * sx));
        const int y0 = static_cast<int>(std::floor(f.box.y * sy));
        const int x1 = static_cast<int>(std::ceil((f.box.x + f.box.width) * sx));
        const int y1 = static_cast<int>(std::ceil((f.box.y + f.box.height) * sy));
        const cv::Rect box = cv::Rect(x0, y0, x1 - x0, y1 - y0) & bounds;
        if (box.empty() || box.area() < minArea || InExclusiveArea(box, frame, params)) {
            continue;
        }
        CustomDetection d;
        d.classId = f.classId;
        d.confidence = conf;
        d.box = box;
        d.text = f.classId == kFireClass ? "fire" : "smoke";
        out.push_back(std::move(d));
    }
}

}  // namespace firesmoke
