#include "input_source.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <ostream>

#include "cli_error.h"

namespace firesmoke::cli {

namespace fs = std::filesystem;

namespace {

constexpr double kFallbackFps = 25.0;

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() <= 6 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool LooksLikeUrl(const std::string& text) {
    const auto scheme = text.find("://");
    return scheme != std::string::npos && scheme > 0 &&
           std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(scheme), [](unsigned char c) {
               return std::isalnum(c) != 0 || c == '+' || c == '-' || c == '.';
           });
}

bool IsImageFile(const fs::path& path) {
    try {
        return cv::haveImageReader(path.string());
    } catch (const cv::Exception&) {
        return false;
    }
}

class VideoSource : public FrameSource {
public:
    VideoSource(const InputSpec& input) : live_(IsLive(input.kind)) {
        const bool opened =
            input.kind == InputKind::kCamera ? capture_.open(input.cameraIndex) : capture_.open(input.text);
        const std::string what = input.kind == InputKind::kCamera   ? "camera " + input.text
                                 : input.kind == InputKind::kStream ? "stream " + input.text
                                                                    : "video " + input.text;
        if (!opened) {
            throw CliError("cannot open " + what);
        }
        // Reading the first frame now tells an undecodable file from an empty result.
        if (!capture_.read(first_) || first_.empty()) {
            throw CliError("cannot decode " + what + ": no frame could be read");
        }
        const double fps = capture_.get(cv::CAP_PROP_FPS);
        fps_ = std::isfinite(fps) && fps > 0.0 && fps < 1000.0 ? fps : kFallbackFps;
        const double count = capture_.get(cv::CAP_PROP_FRAME_COUNT);
        total_ = !live_ && std::isfinite(count) && count > 0.0 ? static_cast<long>(count) : 0;
        start_ = std::chrono::steady_clock::now();
    }

    bool Next(Frame& frame) override {
        if (!first_.empty()) {
            frame.image = first_;
            first_ = cv::Mat();
        } else if (!capture_.read(frame.image) || frame.image.empty()) {
            return false;
        }
        frame.index = next_++;
        frame.timeS = live_ ? std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count()
                            : static_cast<double>(frame.index) / fps_;
        return true;
    }

    double Fps() const override { return fps_; }
    long TotalFrames() const override { return total_; }

private:
    bool live_;
    cv::VideoCapture capture_;
    cv::Mat first_;
    double fps_ = kFallbackFps;
    long total_ = 0;
    long next_ = 0;
    std::chrono::steady_clock::time_point start_;
};

class ImageSource : public FrameSource {
public:
    ImageSource(const InputSpec& input, std::ostream& warnings) : images_(input.images), warnings_(warnings) {
        if (input.kind == InputKind::kImageFile && cv::imread(images_.front().string()).empty()) {
            throw CliError("cannot decode image " + input.text);
        }
    }

    bool Next(Frame& frame) override {
        while (position_ < images_.size()) {
            const fs::path& file = images_[position_++];
            cv::Mat image = cv::imread(file.string(), cv::IMREAD_COLOR);
            if (image.empty()) {
                warnings_ << "warning: skipping " << file.string() << ": cannot decode\n";
                continue;
            }
            frame.image = image;
            frame.index = static_cast<long>(position_ - 1);
            frame.timeS.reset();
            frame.name = file.filename().string();
            return true;
        }
        return false;
    }

    double Fps() const override { return kFallbackFps; }
    long TotalFrames() const override { return static_cast<long>(images_.size()); }

private:
    std::vector<fs::path> images_;
    std::ostream& warnings_;
    size_t position_ = 0;
};

}  // namespace

bool IsLive(InputKind kind) {
    return kind == InputKind::kCamera || kind == InputKind::kStream;
}

InputSpec ClassifyInput(const std::string& input) {
    InputSpec result;
    result.text = input;
    std::error_code ec;
    if (AllDigits(input) && !fs::exists(input, ec)) {
        result.kind = InputKind::kCamera;
        result.cameraIndex = std::stoi(input);
        return result;
    }
    if (LooksLikeUrl(input)) {
        result.kind = InputKind::kStream;
        return result;
    }
    if (fs::is_directory(input, ec)) {
        result.kind = InputKind::kImageFolder;
        for (const fs::directory_entry& entry : fs::directory_iterator(input, ec)) {
            if (entry.is_regular_file(ec) && IsImageFile(entry.path())) {
                result.images.push_back(entry.path());
            }
        }
        if (ec) {
            throw CliError("cannot list the folder " + input + ": " + ec.message());
        }
        if (result.images.empty()) {
            throw CliError("no image found in the folder " + input);
        }
        std::sort(result.images.begin(), result.images.end());
        return result;
    }
    if (!fs::exists(input, ec)) {
        throw CliError("no such file or folder: " + input);
    }
    if (IsImageFile(input)) {
        result.kind = InputKind::kImageFile;
        result.images.push_back(input);
    } else {
        result.kind = InputKind::kVideoFile;
    }
    return result;
}

std::unique_ptr<FrameSource> OpenSource(const InputSpec& input, std::ostream& warnings) {
    if (input.kind == InputKind::kImageFile || input.kind == InputKind::kImageFolder) {
        return std::make_unique<ImageSource>(input, warnings);
    }
    return std::make_unique<VideoSource>(input);
}

}  // namespace firesmoke::cli
