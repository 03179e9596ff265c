// Writes the small inputs the firesmoke tests run on, all rendered from the
// synthetic scene:
//   fire.avi      100 frames of the scene with flame and smoke (MJPG, 320x240, 25 fps)
//   quiet.avi     100 frames of the same room without fire
//   fire.png      one frame with flame and smoke
//   images/       three frames as PNG files
//   not_a_video.mp4  text, for the bad-input tests
#include <filesystem>
#include <fstream>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "synthetic_scene.h"

namespace {

constexpr int kFrames = 100;
const cv::Size kSize(320, 240);

bool WriteClip(const std::filesystem::path& file, bool withFire) {
    cv::VideoWriter writer(file.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, kSize);
    if (!writer.isOpened()) {
        return false;
    }
    for (int i = 0; i < kFrames; ++i) {
        writer.write(firesmoke::RenderSyntheticFrame(i, kSize, withFire));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_clips FOLDER\n";
        return 2;
    }
    const std::filesystem::path folder(argv[1]);
    std::filesystem::create_directories(folder / "images");
    bool ok = WriteClip(folder / "fire.avi", true) && WriteClip(folder / "quiet.avi", false);
    ok = ok && cv::imwrite((folder / "fire.png").string(), firesmoke::RenderSyntheticFrame(50, kSize));
    for (int i = 0; i < 3; ++i) {
        ok = ok && cv::imwrite((folder / "images" / ("frame" + std::to_string(i) + ".png")).string(),
                               firesmoke::RenderSyntheticFrame(40 + i, kSize));
    }
    std::ofstream text(folder / "not_a_video.mp4");
    text << "this is text, not a video\n";
    ok = ok && static_cast<bool>(text);
    if (!ok) {
        std::cerr << "make_clips: cannot write into " << folder << "\n";
        return 1;
    }
    std::cout << "make_clips: wrote the test inputs into " << folder << "\n";
    return 0;
}
