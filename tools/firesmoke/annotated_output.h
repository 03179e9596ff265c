// The --out file of `firesmoke detect`: the input again, with the detections drawn.
#ifndef FIRESMOKE_ANNOTATED_OUTPUT_H
#define FIRESMOKE_ANNOTATED_OUTPUT_H

#include <memory>
#include <string>

#include "input_source.h"

namespace firesmoke::cli {

class AnnotatedOutput {
public:
    virtual ~AnnotatedOutput() = default;
    /// Writes one annotated frame. Throws CliError when it cannot be written.
    virtual void Write(const Frame& frame, const cv::Mat& annotated) = 0;
    /// Finishes the output (closes a video). Safe to call more than once.
    virtual void Close() = 0;
};

/// The output that fits the input: a video (mp4v for .mp4, MJPG for .avi, the
/// input's fps and the first frame's size) for video, camera and stream input; an
/// image file (e.g. .png) for an image; a folder of PNG files, named after the
/// input images, for a folder of images. Checks the path before any frame is
/// processed and throws CliError when it does not suit the input.
std::unique_ptr<AnnotatedOutput> CreateAnnotatedOutput(const std::string& path, InputKind kind, double fps);

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_ANNOTATED_OUTPUT_H
