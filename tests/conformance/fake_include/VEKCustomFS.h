// Fault-injecting stand-in for the fire-and-smoke detector. It has the same public
// face as the real VEKCustomFS, so the certification program compiles against it
// unchanged, and it misbehaves on purpose in the ways named by the environment
// variable FIRESMOKE_FAULT (comma-separated list, see FaultyDetector.cpp). Every call
// it receives is appended to the file named by FIRESMOKE_CALL_LOG, one line per event.
#ifndef VEK_CUSTOM_FS_H
#define VEK_CUSTOM_FS_H

#include <memory>
#include <string>
#include <vector>

#include "IVEKCustomClass.h"

class VEKCustomFS : public IVEKCustomClass {
public:
    VEKCustomFS();
    ~VEKCustomFS();
    VEKCustomFS(const VEKCustomFS&) = delete;
    VEKCustomFS& operator=(const VEKCustomFS&) = delete;

    bool Initialize(const std::string& modelDir, float threshold, std::string& labelMap) override;
    bool OptimizeModel(bool optimize) override;
    std::vector<CustomDetection> RunInference(const cv::Mat& image, const std::string& cameraId) override;
    std::vector<CustomDetection> RunInference(const cv::Mat& image) override;
    bool ConfigureParameters(CustomParams& params) override;
    bool Destroy() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif  // VEK_CUSTOM_FS_H
