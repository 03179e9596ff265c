// `firesmoke detect`: runs the detector over one input and prints its detections.
#ifndef FIRESMOKE_DETECT_COMMAND_H
#define FIRESMOKE_DETECT_COMMAND_H

#include <ostream>
#include <string>

namespace firesmoke::cli {

struct DetectOptions {
    std::string input;
    std::string outPath;  ///< empty: no annotated output
    std::string camera;   ///< empty: the input as given
    std::string modelDir;
    float threshold = 0.5f;
    bool sequence = false;  ///< a folder of images is one camera's frames
};

/// Video, camera and stream frames (and a folder's images with @p sequence) go
/// through the detector's per-camera RunInference; single images, and a folder's
/// images otherwise, are judged each on its own. One JSON line per frame with
/// detections goes to @p out; progress, the closing summary and problems to @p err.
/// @return 0 on success, 1 when the input, the model or the output failed.
int RunDetect(const DetectOptions& options, std::ostream& out, std::ostream& err);

/// Stops a running RunDetect after the frame in progress (for Ctrl+C on live input).
void RequestDetectStop();

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_DETECT_COMMAND_H
