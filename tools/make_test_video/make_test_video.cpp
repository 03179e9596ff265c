// Writes the certification test video: a real fire clip scaled to the requested
// size when it can be read, otherwise the synthetic scene.
//
//   make_test_video --out FILE [--source CLIP] [--frames N] [--width W] [--height H] [--fps F] [--no-fire]
//
// --no-fire renders the synthetic room without flame and smoke (a negative clip).
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "synthetic_scene.h"

namespace {

int Fail(const std::string& message) {
    std::cerr << "make_test_video: " << message << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out, source;
    int frames = 300, width = 1920, height = 1080;
    double fps = 25.0;
    bool withFire = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--out" && hasValue) {
            out = argv[++i];
        } else if (arg == "--source" && hasValue) {
            source = argv[++i];
        } else if (arg == "--frames" && hasValue) {
            frames = std::atoi(argv[++i]);
        } else if (arg == "--width" && hasValue) {
            width = std::atoi(argv[++i]);
        } else if (arg == "--height" && hasValue) {
            height = std::atoi(argv[++i]);
        } else if (arg == "--fps" && hasValue) {
            fps = std::atof(argv[++i]);
        } else if (arg == "--no-fire") {
            withFire = false;
        } else {
            return Fail(
                "usage: make_test_video --out FILE [--source CLIP] [--frames N] [--width W] [--height H] "
                "[--fps F]");
        }
    }
    if (out.empty() || frames <= 0 || width < 16 || height < 16 || !(fps > 0.0)) {
        return Fail("--out is required; frames, size and fps must be positive");
    }
    const cv::Size size(width, height);

    cv::VideoCapture clip;
    if (!source.empty() && std::filesystem::exists(source)) {
        clip.open(source);
        if (clip.isOpened()) {
            const double clipFps = clip.get(cv::CAP_PROP_FPS);
            if (clipFps > 0.0) {
                fps = clipFps;
            }
        } else {
            std::cerr << "make_test_video: cannot read " << source << "; rendering the synthetic scene\n";
        }
    }

    std::filesystem::create_directories(std::filesystem::path(out).parent_path());
    cv::VideoWriter writer(out, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), fps, size);
    if (!writer.isOpened()) {
        return Fail("cannot write " + out);
    }
    int written = 0;
    cv::Mat frame, scaled;
    for (; written < frames; ++written) {
        if (clip.isOpened()) {
            if (!clip.read(frame)) {
                break;
            }
            cv::resize(frame, scaled, size, 0, 0, cv::INTER_LINEAR);
        } else {
            scaled = firesmoke::RenderSyntheticFrame(written, size, withFire);
        }
        writer.write(scaled);
    }
    writer.release();
    std::cout << "make_test_video: wrote " << written << " frames of " << width << "x" << height << " at "
              << fps << " fps from " << (clip.isOpened() ? source : std::string("the synthetic scene"))
              << " to " << out << "\n";
    return written > 0 ? 0 : 1;
}
