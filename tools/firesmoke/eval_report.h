// The figures of `firesmoke eval` and the forms they are reported in: one line per
// clip, the summary line, and the JSON document.
#ifndef FIRESMOKE_EVAL_REPORT_H
#define FIRESMOKE_EVAL_REPORT_H

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace firesmoke::cli {

/// What happened to one clip of the manifest.
struct ClipResult {
    std::string path;        ///< as written in the manifest
    std::string label;       ///< fire, smoke, fire+smoke or negative
    bool positive = false;   ///< the label is not negative
    std::string skipReason;  ///< non-empty when the clip could not be evaluated
    bool alarm = false;      ///< some frame had detections
    long firstAlarmFrame = -1;
    double firstAlarmS = 0.0;  ///< firstAlarmFrame / fps, valid when alarm
    long frames = 0;           ///< frames read and passed to the detector
    double inferenceMs = 0.0;  ///< total time spent in RunInference

    bool Skipped() const { return !skipReason.empty(); }
};

/// Set-level figures over the clips that were evaluated (skipped ones excluded).
struct EvalSummary {
    int positives = 0;
    int negatives = 0;
    int detected = 0;     ///< positives with an alarm
    int falseAlarms = 0;  ///< negatives with an alarm
    int skipped = 0;
    std::optional<double> recall;           ///< detected / positives
    std::optional<double> falseAlarmRate;   ///< falseAlarms / negatives
    std::optional<double> meanAlarmDelayS;  ///< over detected positives
    std::optional<double> meanMsPerFrame;   ///< total inference time / total frames
};

EvalSummary Summarise(const std::vector<ClipResult>& clips);

/// "ALARM at 0.53 s", "MISSED", "quiet", "FALSE ALARM at 2.10 s" or "skipped: <reason>".
std::string OutcomeText(const ClipResult& clip);

/// True when the outcome is the wanted one (alarm on a positive, quiet on a negative).
bool OutcomeIsCorrect(const ClipResult& clip);

/// One line for standard output: label, path (padded to @p pathWidth), outcome,
/// frames and ms/frame.
std::string ClipLine(const ClipResult& clip, size_t pathWidth = 0);

/// "recall 24/24 = 1.000, false alarms 1/20 = 0.050, mean delay 1.23 s, 4.5 ms/frame",
/// followed by how many clips were skipped when any were.
std::string SummaryLine(const EvalSummary& summary);

/// {"summary": {...}, "videos": [...]}; figures that do not exist (no positives,
/// no detection, no frames) are null.
nlohmann::ordered_json ReportJson(const EvalSummary& summary, const std::vector<ClipResult>& clips);

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_EVAL_REPORT_H
