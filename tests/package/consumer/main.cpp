// Constructs the detector, loads the installed model folder, judges one synthetic
// frame and releases everything. Prints what the package test checks; exits
// non-zero when a step fails or a detection breaks the interface's contract.
#include <VEKCustomFS.h>

#include <cstdio>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

int main() {
    // A dark scene with a bright orange-yellow patch in it (BGR).
    cv::Mat frame(360, 640, CV_8UC3, cv::Scalar(40, 40, 40));
    frame(cv::Rect(260, 140, 120, 100)).setTo(cv::Scalar(30, 150, 250));
    frame(cv::Rect(290, 170, 60, 50)).setTo(cv::Scalar(90, 220, 255));

    std::printf("package version: %s\n", PACKAGE_VERSION);
    std::printf("model folder: %s\n", MODEL_DIR);

    VEKCustomFS detector;
    std::string labelMap;
    if (!detector.Initialize(MODEL_DIR, 0.5f, labelMap)) {
        std::printf("Initialize failed\n");
        return 1;
    }
    std::printf("label map: %s\n", labelMap.c_str());
    std::printf("optimised: %s\n", detector.OptimizeModel(true) ? "yes" : "no");

    const std::vector<CustomDetection> found = detector.RunInference(frame);
    std::printf("detections: %zu\n", found.size());
    const cv::Rect bounds(0, 0, frame.cols, frame.rows);
    int broken = 0;
    for (const CustomDetection& d : found) {
        std::printf("  class %d confidence %.3f box %d,%d %dx%d\n", d.classId,
                    static_cast<double>(d.confidence), d.box.x, d.box.y, d.box.width, d.box.height);
        const bool ok = (d.classId == 0 || d.classId == 2) && d.confidence >= 0.0f && d.confidence <= 1.0f &&
                        !d.box.empty() && (d.box & bounds) == d.box;
        broken += ok ? 0 : 1;
    }
    if (broken != 0) {
        std::printf("%d detection(s) outside the contract\n", broken);
        return 2;
    }
    if (!detector.Destroy()) {
        std::printf("Destroy failed\n");
        return 3;
    }
    std::printf("destroyed\n");
    return 0;
}
