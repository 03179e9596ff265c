// What `firesmoke detect` reads: a video file, an image, a folder of images, a
// camera index or a stream URL, delivered frame by frame.
#ifndef FIRESMOKE_INPUT_SOURCE_H
#define FIRESMOKE_INPUT_SOURCE_H

#include <filesystem>
#include <memory>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

namespace firesmoke::cli {

enum class InputKind { kVideoFile, kImageFile, kImageFolder, kCamera, kStream };

struct InputSpec {
    InputKind kind = InputKind::kVideoFile;
    std::string text;                           ///< the input as given
    int cameraIndex = -1;                       ///< for kCamera
    std::vector<std::filesystem::path> images;  ///< for kImageFile and kImageFolder, sorted by name
};

/// Decides what @p input is: all digits is a camera index; "scheme://..." a stream;
/// a folder is a folder of images (every file OpenCV recognises as an image, by
/// content); a file OpenCV recognises as an image is an image, any other file a
/// video. Throws CliError for a path that does not exist or a folder without images.
InputSpec ClassifyInput(const std::string& input);

/// True for camera and stream input, which have no end known in advance.
bool IsLive(InputKind kind);

/// One frame handed to the detector.
struct Frame {
    cv::Mat image;
    long index = 0;               ///< 0-based position in the input
    std::optional<double> timeS;  ///< video time, or seconds since start for live input; none for images
    std::string name;             ///< file name, for image input
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    /// The next frame; false at the end of the input.
    virtual bool Next(Frame& frame) = 0;
    /// Frames per second of the input (25 when unknown or for images).
    virtual double Fps() const = 0;
    /// Number of frames when known in advance, else 0.
    virtual long TotalFrames() const = 0;
};

/// Opens the input. Throws CliError when it cannot be opened or its first frame
/// cannot be decoded. Images of a folder that fail to decode are reported on
/// @p warnings and skipped.
std::unique_ptr<FrameSource> OpenSource(const InputSpec& input, std::ostream& warnings);

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_INPUT_SOURCE_H
