#include "annotated_output.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "cli_error.h"
#include "output_paths.h"

namespace firesmoke::cli {

namespace fs = std::filesystem;

namespace {

std::string LowerExtension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

void WriteImage(const std::string& path, const cv::Mat& image) {
    bool written = false;
    try {
        written = cv::imwrite(path, image);
    } catch (const cv::Exception&) {
        written = false;
    }
    if (!written) {
        throw CliError("cannot write " + path);
    }
}

class VideoOutput : public AnnotatedOutput {
public:
    VideoOutput(const std::string& path, double fps) : path_(path), fps_(fps) {
        CheckOutputFile(path, "--out");
        const std::string ext = LowerExtension(path);
        if (ext == ".mp4") {
            fourcc_ = cv::VideoWriter::fourcc('m', 'p', '4', 'v');
        } else if (ext == ".avi") {
            fourcc_ = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
        } else {
            throw CliError("--out " + path + ": a video output must end in .mp4 or .avi");
        }
    }
    ~VideoOutput() override { Close(); }

    void Write(const Frame&, const cv::Mat& annotated) override {
        if (!writer_.isOpened()) {
            size_ = annotated.size();
            if (!writer_.open(path_, fourcc_, fps_, size_, true)) {
                throw CliError("cannot open the video writer for " + path_);
            }
        }
        if (annotated.size() == size_) {
            writer_.write(annotated);
        } else {
            cv::Mat resized;
            cv::resize(annotated, resized, size_);
            writer_.write(resized);
        }
    }

    void Close() override { writer_.release(); }

private:
    std::string path_;
    double fps_;
    int fourcc_ = 0;
    cv::Size size_;
    cv::VideoWriter writer_;
};

class ImageOutput : public AnnotatedOutput {
public:
    explicit ImageOutput(const std::string& path) : path_(path) { CheckOutputImage(path, "--out"); }
    void Write(const Frame&, const cv::Mat& annotated) override { WriteImage(path_, annotated); }
    void Close() override {}

private:
    std::string path_;
};

class FolderOutput : public AnnotatedOutput {
public:
    explicit FolderOutput(const std::string& path) : folder_(path) {
        std::error_code ec;
        if (fs::exists(folder_, ec) && !fs::is_directory(folder_, ec)) {
            throw CliError("--out " + path + ": exists and is not a folder");
        }
        fs::create_directories(folder_, ec);
        if (ec) {
            throw CliError("--out " + path + ": cannot create the folder: " + ec.message());
        }
    }
    void Write(const Frame& frame, const cv::Mat& annotated) override {
        const std::string stem =
            frame.name.empty() ? "frame" + std::to_string(frame.index) : fs::path(frame.name).stem().string();
        WriteImage((folder_ / (stem + ".png")).string(), annotated);
    }
    void Close() override {}

private:
    fs::path folder_;
};

}  // namespace

std::unique_ptr<AnnotatedOutput> CreateAnnotatedOutput(const std::string& path, InputKind kind, double fps) {
    switch (kind) {
        case InputKind::kImageFile:
            return std::make_unique<ImageOutput>(path);
        case InputKind::kImageFolder:
            return std::make_unique<FolderOutput>(path);
        case InputKind::kVideoFile:
        case InputKind::kCamera:
        case InputKind::kStream:
            break;
    }
    return std::make_unique<VideoOutput>(path, fps);
}

}  // namespace firesmoke::cli
