#include "runtime_params.h"

#include <algorithm>
#include <cmath>

namespace firesmoke {

namespace {

float Clamp01(float v, float fallback) {
    return std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : fallback;
}

}  // namespace

RuntimeParams ReadRuntimeParams(const CustomParams& params) {
    RuntimeParams r;
    for (const auto& p : params.Parameters) {
        if (p.Name == "SmokeScore") {
            r.smokeScore = Clamp01(p.Number, kDefaultSmokeScore);
        } else if (p.Name == "Sensitivity") {
            r.sensitivity = Clamp01(p.Number, kDefaultSensitivity);
        }
    }
    for (const auto& item : params.Items) {
        if (item.Text != "ExclusiveROIs" || item.Values.size() < 4 || r.exclusiveCount >= kMaxExclusiveRois) {
            continue;
        }
        const double x = item.Values[0], y = item.Values[1], w = item.Values[2], h = item.Values[3];
        if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(w) || !std::isfinite(h) || w <= 0 ||
            h <= 0) {
            continue;
        }
        r.exclusive[static_cast<std::size_t>(r.exclusiveCount++)] = cv::Rect2f(
            static_cast<float>(x), static_cast<float>(y), static_cast<float>(w), static_cast<float>(h));
    }
    return r;
}

void DescribeParams(CustomParams& params) {
    CustomROIConfig roi;
    roi.Rectangle = true;
    roi.Polygon = false;
    roi.Line = false;
    roi.MinItems = 0;
    roi.MaxItems = kMaxExclusiveRois;
    roi.Name = "ExclusiveROIs";
    roi.Text =
        "Areas where detections are ignored: items with Text \"ExclusiveROIs\" and Values "
        "x, y, width, height as fractions of the frame in [0, 1]";
    params.ROI_Config.assign(1, roi);

    CustomParameter smoke;
    smoke.Name = "SmokeScore";
    smoke.DataType = "float";
    smoke.Number = kDefaultSmokeScore;
    smoke.MinValue = 0;
    smoke.MaxValue = 1;
    smoke.Text = "Minimum confidence of a reported smoke detection";

    CustomParameter sensitivity;
    sensitivity.Name = "Sensitivity";
    sensitivity.DataType = "float";
    sensitivity.Number = kDefaultSensitivity;
    sensitivity.MinValue = 0;
    sensitivity.MaxValue = 1;
    sensitivity.Text =
        "Higher finds fire and smoke earlier at the cost of more false alarms; 0.5 is calibrated";

    params.Parameters.clear();
    params.Parameters.push_back(std::move(smoke));
    params.Parameters.push_back(std::move(sensitivity));
}

}  // namespace firesmoke
