#include "eval_command.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <set>

#include "cli_error.h"
#include "drawing.h"
#include "eval_report.h"
#include "manifest.h"
#include "model_loader.h"
#include "output_paths.h"
#include "progress.h"

namespace firesmoke::cli {

namespace {

constexpr double kFallbackFps = 25.0;

double ClipFps(cv::VideoCapture& capture) {
    const double fps = capture.get(cv::CAP_PROP_FPS);
    return std::isfinite(fps) && fps > 0.0 && fps < 1000.0 ? fps : kFallbackFps;
}

long FrameCount(cv::VideoCapture& capture) {
    const double count = capture.get(cv::CAP_PROP_FRAME_COUNT);
    return std::isfinite(count) && count > 0.0 ? static_cast<long>(count) : 0;
}

// Frame @p index of a clip, read from the start; empty when the clip is shorter.
cv::Mat ReadFrameAt(const std::string& path, long index) {
    cv::VideoCapture capture(path);
    cv::Mat frame;
    for (long i = 0; i <= index; ++i) {
        if (!capture.read(frame)) {
            return {};
        }
    }
    return frame;
}

class ClipEvaluator {
public:
    ClipEvaluator(LoadedModel& model, bool wantTiles, std::ostream& err, long totalFrames)
        : model_(model),
          wantTiles_(wantTiles),
          err_(err),
          progress_(err, StderrIsTerminal()),
          totalFrames_(totalFrames) {}

    ClipResult Evaluate(const ManifestEntry& entry, size_t number, size_t count, cv::Mat* tile) {
        ClipResult result;
        result.path = entry.path;
        result.label = entry.label;
        result.positive = entry.positive;

        const std::string file = entry.resolved.string();
        cv::VideoCapture capture(file);
        if (!capture.isOpened()) {
            return Skip(result, "cannot open", tile);
        }
        const double fps = ClipFps(capture);
        const long expected = FrameCount(capture);
        const long middle = expected > 0 ? expected / 2 : -1;

        // The camera is named by the path as the manifest writes it, so that the
        // figures do not depend on where the footage lies. A clip listed twice gets a
        // fresh camera, so its second run starts cold.
        std::string camera = entry.path;
        if (!cameras_.insert(camera).second) {
            camera += "#line" + std::to_string(entry.line);
            cameras_.insert(camera);
        }

        const std::string prefix = "clip " + std::to_string(number) + "/" + std::to_string(count) + " " +
                                   entry.resolved.filename().string() + " frame ";
        cv::Mat frame;
        cv::Mat shown;
        std::vector<CustomDetection> shownDetections;
        while (capture.read(frame) && !frame.empty()) {
            const auto start = std::chrono::steady_clock::now();
            std::vector<CustomDetection> detections = model_.Detector().RunInference(frame, camera);
            result.inferenceMs +=
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            if (!detections.empty() && !result.alarm) {
                result.alarm = true;
                result.firstAlarmFrame = result.frames;
                result.firstAlarmS = static_cast<double>(result.frames) / fps;
                if (wantTiles_) {
                    shown = frame.clone();
                    shownDetections = std::move(detections);
                }
            } else if (wantTiles_ && !result.alarm && result.frames == middle) {
                shown = frame.clone();
            }
            ++result.frames;
            ++framesDone_;
            progress_.Update(
                prefix + std::to_string(result.frames) + "/" + std::to_string(expected) + ", all frames",
                framesDone_, totalFrames_);
        }
        if (result.frames == 0) {
            return Skip(result, "no frame could be decoded", tile);
        }
        if (tile != nullptr) {
            if (!result.alarm && (middle < 0 || middle >= result.frames)) {
                // The container's frame count was missing or wrong: read the real middle.
                shown = ReadFrameAt(file, result.frames / 2);
            }
            if (!result.alarm) {
                shownDetections.clear();
            }
            *tile = MakeTile(shown, shownDetections, model_.ClassNames(), result.path,
                             result.label + ": " + OutcomeText(result),
                             OutcomeIsCorrect(result) ? Verdict::kCorrect : Verdict::kWrong);
        }
        return result;
    }

    void ClearProgress() { progress_.Clear(); }
    void RedrawProgress() { progress_.Redraw(); }

private:
    ClipResult Skip(ClipResult& result, const std::string& reason, cv::Mat* tile) {
        result.skipReason = reason;
        progress_.Clear();
        err_ << "warning: skipping " << result.path << ": " << reason << '\n';
        if (tile != nullptr) {
            *tile = MakeTile({}, {}, model_.ClassNames(), result.path,
                             result.label + ": " + OutcomeText(result), Verdict::kNeutral);
        }
        return result;
    }

    LoadedModel& model_;
    bool wantTiles_;
    std::ostream& err_;
    Progress progress_;
    long totalFrames_;
    long framesDone_ = 0;
    std::set<std::string> cameras_;
};

long CountFrames(const std::vector<ManifestEntry>& entries) {
    long total = 0;
    for (const ManifestEntry& entry : entries) {
        cv::VideoCapture capture(entry.resolved.string());
        if (capture.isOpened()) {
            total += FrameCount(capture);
        }
    }
    return total;
}

}  // namespace

int RunEval(const EvalOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<ClipResult> results;
    std::vector<cv::Mat> tiles;
    try {
        const std::vector<ManifestEntry> entries = LoadManifest(options.manifest);
        if (!options.jsonPath.empty()) {
            CheckOutputFile(options.jsonPath, "--json");
        }
        if (!options.sheetPath.empty()) {
            CheckOutputImage(options.sheetPath, "--sheet");
        }
        LoadedModel model(options.modelDir, 0.5f);
        const bool wantTiles = !options.sheetPath.empty();
        ClipEvaluator evaluator(model, wantTiles, err, CountFrames(entries));
        size_t pathWidth = 0;
        for (const ManifestEntry& entry : entries) {
            pathWidth = std::max(pathWidth, entry.path.size());
        }
        for (size_t i = 0; i < entries.size(); ++i) {
            cv::Mat tile;
            results.push_back(
                evaluator.Evaluate(entries[i], i + 1, entries.size(), wantTiles ? &tile : nullptr));
            evaluator.ClearProgress();
            out << ClipLine(results.back(), pathWidth) << std::endl;
            evaluator.RedrawProgress();
            if (wantTiles) {
                tiles.push_back(tile);
            }
        }
        evaluator.ClearProgress();
    } catch (const CliError& e) {
        err << "error: " << e.what() << '\n';
        return 1;
    }

    const EvalSummary summary = Summarise(results);
    int status = 0;
    if (!options.jsonPath.empty()) {
        std::ofstream json(options.jsonPath);
        json << ReportJson(summary, results).dump(2) << '\n';
        json.close();
        if (json) {
            err << "JSON report: " << options.jsonPath << '\n';
        } else {
            err << "error: cannot write the JSON report '" << options.jsonPath << "'\n";
            status = 1;
        }
    }
    if (!options.sheetPath.empty()) {
        bool written = false;
        try {
            written = cv::imwrite(options.sheetPath, MakeContactSheet(tiles, 6));
        } catch (const cv::Exception&) {
            written = false;
        }
        if (written) {
            err << "contact sheet: " << options.sheetPath << '\n';
        } else {
            err << "error: cannot write the contact sheet '" << options.sheetPath << "'\n";
            status = 1;
        }
    }
    out << SummaryLine(summary) << std::endl;
    return status;
}

}  // namespace firesmoke::cli
