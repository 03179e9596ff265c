// firesmoke: the fire-and-smoke detector on the command line.
//   firesmoke detect INPUT [--out FILE] [--camera ID] [--model DIR] [--threshold T]
//   firesmoke eval --model DIR --manifest FILE.csv [--json OUT.json] [--sheet OUT.png]
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <opencv2/core/utils/logger.hpp>

#include "detect_command.h"
#include "eval_command.h"
#include "model_loader.h"

#ifndef FIRESMOKE_VERSION
#error "FIRESMOKE_VERSION must be defined by the build"
#endif

namespace {

void OnInterrupt(int) {
    // A second Ctrl+C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
    firesmoke::cli::RequestDetectStop();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace firesmoke::cli;

    CLI::App app{"Fire and smoke detection on videos, images, cameras and streams.", "firesmoke"};
    app.set_version_flag("--version", std::string("firesmoke ") + FIRESMOKE_VERSION);
    app.require_subcommand(1);
    app.footer("Default model folder: " + DefaultModelRule() +
               ".\nExit status: 0 on success, 1 when the input, the model or an output failed, "
               "another non-zero value for a bad command line.");

    DetectOptions detect;
    detect.modelDir = DefaultModelDir();
    CLI::App* detectCommand = app.add_subcommand(
        "detect",
        "Detect fire and smoke in one input; prints one JSON line per frame with detections "
        "(frame, time_s, detections: class, class_id, confidence, box [x,y,w,h]).");
    detectCommand
        ->add_option(
            "INPUT", detect.input,
            "a video file, an image, a folder of images, a camera index (all digits) or a stream URL")
        ->required();
    detectCommand->add_option("--out", detect.outPath,
                              "write the input with the detections drawn: a video (.mp4 or .avi) for video, "
                              "camera and stream input, an image (.png) for an image, a folder of PNGs for a "
                              "folder");
    detectCommand->add_option("--camera", detect.camera,
                              "camera id for the detector's state (default: INPUT)");
    detectCommand
        ->add_option("--model", detect.modelDir, "model folder (default: see 'Default model folder' below)")
        ->capture_default_str();
    detectCommand->add_option("--threshold", detect.threshold, "lowest reported confidence, 0 to 1")
        ->check(CLI::Range(0.0f, 1.0f))
        ->capture_default_str();
    detectCommand->add_flag("--sequence", detect.sequence,
                            "treat a folder of images as consecutive frames of one camera (default: each "
                            "image is judged on its own, as a single image always is)");

    EvalOptions eval;
    eval.modelDir = DefaultModelDir();
    CLI::App* evalCommand = app.add_subcommand(
        "eval",
        "Evaluate the detector on labelled clips: per clip whether and when an alarm was raised; over the "
        "set recall, false-alarm rate, mean delay to the first alarm and ms per frame.");
    evalCommand
        ->add_option("--model", eval.modelDir, "model folder (default: see 'Default model folder' below)")
        ->capture_default_str();
    evalCommand
        ->add_option("--manifest", eval.manifest,
                     "CSV file with a header and at least the columns path,label; paths relative to its "
                     "folder; labels fire, smoke, fire+smoke (positive) or negative")
        ->required();
    evalCommand->add_option("--json", eval.jsonPath, "write the figures per clip and over the set as JSON");
    evalCommand->add_option("--sheet", eval.sheetPath,
                            "write a contact sheet PNG: per clip its first alarm frame with boxes, or its "
                            "middle frame, captioned with label and outcome");

    CLI11_PARSE(app, argc, argv);

    // OpenCV's own warnings (e.g. every video back-end failing on a bad file) would
    // bury our one-line messages; setting OPENCV_LOG_LEVEL brings them back.
    if (std::getenv("OPENCV_LOG_LEVEL") == nullptr) {
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_FATAL);
    }

    try {
        if (detectCommand->parsed()) {
            std::signal(SIGINT, OnInterrupt);
            return RunDetect(detect, std::cout, std::cerr);
        }
        return RunEval(eval, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << '\n';
        return 1;
    }
}
