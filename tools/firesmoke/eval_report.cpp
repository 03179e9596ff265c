#include "eval_report.h"

#include <algorithm>
#include <cstdio>

namespace firesmoke::cli {

namespace {

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::optional<double> Ratio(double numerator, double denominator) {
    if (denominator <= 0.0) {
        return std::nullopt;
    }
    return numerator / denominator;
}

nlohmann::ordered_json OrNull(const std::optional<double>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

}  // namespace

EvalSummary Summarise(const std::vector<ClipResult>& clips) {
    EvalSummary s;
    double delaySum = 0.0;
    double msSum = 0.0;
    long frames = 0;
    for (const ClipResult& clip : clips) {
        if (clip.Skipped()) {
            ++s.skipped;
            continue;
        }
        if (clip.positive) {
            ++s.positives;
            if (clip.alarm) {
                ++s.detected;
                delaySum += clip.firstAlarmS;
            }
        } else {
            ++s.negatives;
            if (clip.alarm) {
                ++s.falseAlarms;
            }
        }
        msSum += clip.inferenceMs;
        frames += clip.frames;
    }
    s.recall = Ratio(s.detected, s.positives);
    s.falseAlarmRate = Ratio(s.falseAlarms, s.negatives);
    s.meanAlarmDelayS = Ratio(delaySum, s.detected);
    s.meanMsPerFrame = Ratio(msSum, static_cast<double>(frames));
    return s;
}

std::string OutcomeText(const ClipResult& clip) {
    if (clip.Skipped()) {
        return "skipped: " + clip.skipReason;
    }
    const std::string at = " at " + Fixed(clip.firstAlarmS, 2) + " s";
    if (clip.positive) {
        return clip.alarm ? "ALARM" + at : "MISSED";
    }
    return clip.alarm ? "FALSE ALARM" + at : "quiet";
}

bool OutcomeIsCorrect(const ClipResult& clip) {
    return !clip.Skipped() && clip.alarm == clip.positive;
}

std::string ClipLine(const ClipResult& clip, size_t pathWidth) {
    std::string line = clip.label;
    line.resize(std::max<size_t>(line.size(), 10), ' ');
    line += " " + clip.path;
    if (clip.path.size() < pathWidth) {
        line.append(pathWidth - clip.path.size(), ' ');
    }
    line += "  " + OutcomeText(clip);
    if (!clip.Skipped()) {
        line += "  (" + std::to_string(clip.frames) + " frames";
        if (clip.frames > 0) {
            line += ", " + Fixed(clip.inferenceMs / static_cast<double>(clip.frames), 1) + " ms/frame";
        }
        line += ")";
    }
    return line;
}

std::string SummaryLine(const EvalSummary& s) {
    auto figure = [](const std::optional<double>& v) { return v ? Fixed(*v, 3) : std::string("n/a"); };
    std::string line = "recall " + std::to_string(s.detected) + "/" + std::to_string(s.positives) + " = " +
                       figure(s.recall) + ", false alarms " + std::to_string(s.falseAlarms) + "/" +
                       std::to_string(s.negatives) + " = " + figure(s.falseAlarmRate) + ", mean delay " +
                       (s.meanAlarmDelayS ? Fixed(*s.meanAlarmDelayS, 2) + " s" : std::string("n/a")) + ", " +
                       (s.meanMsPerFrame ? Fixed(*s.meanMsPerFrame, 1) : std::string("n/a")) + " ms/frame";
    if (s.skipped > 0) {
        line += ", " + std::to_string(s.skipped) + (s.skipped == 1 ? " clip" : " clips") +
                " skipped (not counted)";
    }
    return line;
}

nlohmann::ordered_json ReportJson(const EvalSummary& s, const std::vector<ClipResult>& clips) {
    nlohmann::ordered_json report;
    report["summary"] = {{"positives", s.positives},
                         {"negatives", s.negatives},
                         {"detected", s.detected},
                         {"false_alarms", s.falseAlarms},
                         {"recall", OrNull(s.recall)},
                         {"false_alarm_rate", OrNull(s.falseAlarmRate)},
                         {"mean_alarm_delay_s", OrNull(s.meanAlarmDelayS)},
                         {"mean_ms_per_frame", OrNull(s.meanMsPerFrame)},
                         {"skipped", s.skipped}};
    nlohmann::ordered_json videos = nlohmann::ordered_json::array();
    for (const ClipResult& clip : clips) {
        nlohmann::ordered_json v = {
            {"path", clip.path},
            {"label", clip.label},
            {"alarm", clip.alarm},
            {"first_alarm_s", clip.alarm ? nlohmann::ordered_json(clip.firstAlarmS) : nullptr},
            {"frames", clip.frames},
            {"mean_ms", OrNull(Ratio(clip.inferenceMs, static_cast<double>(clip.frames)))}};
        if (clip.Skipped()) {
            v["skipped"] = clip.skipReason;
        }
        videos.push_back(std::move(v));
    }
    report["videos"] = std::move(videos);
    return report;
}

}  // namespace firesmoke::cli
