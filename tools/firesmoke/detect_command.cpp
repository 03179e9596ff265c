#include "detect_command.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "annotated_output.h"
#include "cli_error.h"
#include "drawing.h"
#include "input_source.h"
#include "model_loader.h"
#include "progress.h"

namespace firesmoke::cli {

namespace {

std::atomic<bool> g_stopRequested{false};

// Rounded to @p decimals places, so the JSON shows 0.6506 rather than 0.65060001611709595.
double Rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

nlohmann::ordered_json FrameJson(const Frame& frame, const std::vector<CustomDetection>& detections,
                                 const std::vector<std::string>& classNames) {
    nlohmann::ordered_json line;
    line["frame"] = frame.index;
    line["time_s"] =
        frame.timeS ? nlohmann::ordered_json(Rounded(*frame.timeS, 3)) : nlohmann::ordered_json(nullptr);
    if (!frame.name.empty()) {
        line["file"] = frame.name;
    }
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const CustomDetection& d : detections) {
        list.push_back({{"class", ClassName(d.classId, classNames)},
                        {"class_id", d.classId},
                        {"confidence", Rounded(static_cast<double>(d.confidence), 4)},
                        {"box", {d.box.x, d.box.y, d.box.width, d.box.height}}});
    }
    line["detections"] = std::move(list);
    return line;
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

}  // namespace

void RequestDetectStop() {
    g_stopRequested = true;
}

int RunDetect(const DetectOptions& options, std::ostream& out, std::ostream& err) {
    g_stopRequested = false;
    try {
        const InputSpec inputSpec = ClassifyInput(options.input);
        std::unique_ptr<FrameSource> source = OpenSource(inputSpec, err);
        std::unique_ptr<AnnotatedOutput> output;
        if (!options.outPath.empty()) {
            output = CreateAnnotatedOutput(options.outPath, inputSpec.kind, source->Fps());
        }
        LoadedModel model(options.modelDir, options.threshold);

        const bool perCamera = inputSpec.kind == InputKind::kVideoFile || IsLive(inputSpec.kind) ||
                               (inputSpec.kind == InputKind::kImageFolder && options.sequence);
        const std::string camera = options.camera.empty() ? options.input : options.camera;
        const bool showProgress = !IsLive(inputSpec.kind) && inputSpec.kind != InputKind::kImageFile;
        Progress progress(err, StderrIsTerminal());

        long frames = 0;
        long framesWithDetections = 0;
        std::optional<Frame> firstDetection;
        double inferenceMs = 0.0;
        Frame frame;
        while (!g_stopRequested && source->Next(frame)) {
            const auto start = std::chrono::steady_clock::now();
            const std::vector<CustomDetection> detections =
                perCamera ? model.Detector().RunInference(frame.image, camera)
                          : model.Detector().RunInference(frame.image);
            inferenceMs +=
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            ++frames;
            if (!detections.empty()) {
                ++framesWithDetections;
                if (!firstDetection) {
                    firstDetection = Frame{cv::Mat(), frame.index, frame.timeS, frame.name};
                }
                progress.Clear();
                out << FrameJson(frame, detections, model.ClassNames()).dump() << std::endl;
                progress.Redraw();
            }
            if (output) {
                cv::Mat annotated = frame.image.clone();
                DrawDetections(annotated, detections, model.ClassNames());
                output->Write(frame, annotated);
            }
            if (showProgress) {
                progress.Update("frame", frames, source->TotalFrames());
            }
        }
        if (output) {
            output->Close();
        }
        progress.Clear();

        std::string summary = "frames " + std::to_string(frames) + ", with detections " +
                              std::to_string(framesWithDetections) + ", first detection ";
        if (!firstDetection) {
            summary += "none";
        } else if (firstDetection->timeS) {
            summary += "at " + Fixed(*firstDetection->timeS, 2) + " s (frame " +
                       std::to_string(firstDetection->index) + ")";
        } else {
            summary +=
                "in " + (firstDetection->name.empty() ? "frame " + std::to_string(firstDetection->index)
                                                      : firstDetection->name);
        }
        if (frames > 0) {
            summary += ", " + Fixed(inferenceMs / static_cast<double>(frames), 1) + " ms/frame";
        }
        if (g_stopRequested) {
            summary += " (stopped)";
        }
        err << summary << '\n';
        if (output) {
            err << "annotated output: " << options.outPath << '\n';
        }
        return 0;
    } catch (const CliError& e) {
        err << "error: " << e.what() << '\n';
        return 1;
    }
}

}  // namespace firesmoke::cli
