#include "frame_input.h"

#include <opencv2/imgproc.hpp>

namespace firesmoke {

FrameStatus NormaliseFrame(const cv::Mat& image, cv::Mat& bgr, FrameBuffers& buffers) {
    bgr = cv::Mat();
    if (image.empty() || image.data == nullptr) {
        return FrameStatus::Empty;
    }
    if (image.dims != 2) {
        return FrameStatus::Unsupported;
    }
    if (image.rows < kMinFrameSide || image.cols < kMinFrameSide) {
        return FrameStatus::TooSmall;
    }
    if (image.rows > kMaxFrameSide || image.cols > kMaxFrameSide) {
        return FrameStatus::TooLarge;
    }
    const int channels = image.channels();
    if (channels != 1 && channels != 3 && channels != 4) {
        return FrameStatus::Unsupported;
    }

    // Bring the depth to 8 bits first, into owned storage.
    const cv::Mat* src = &image;
    cv::Mat& depth = buffers.depth;
    switch (image.depth()) {
        case CV_8U:
            break;
        case CV_8S:
            image.convertTo(depth, CV_8U, 1.0, 128.0);
            src = &depth;
            break;
        case CV_16U:
            image.convertTo(depth, CV_8U, 1.0 / 256.0);
            src = &depth;
            break;
        case CV_16S:
            image.convertTo(depth, CV_8U, 1.0 / 256.0, 128.0);
            src = &depth;
            break;
        case CV_32S:
            image.convertTo(depth, CV_8U, 1.0 / 16777216.0, 128.0);
            src = &depth;
            break;
        default: {  // CV_32F, CV_64F, CV_16F: values in [0, 1]
            cv::Mat f;
            image.convertTo(f, CV_32F);
            cv::patchNaNs(f, 0.0);
            f.convertTo(depth, CV_8U, 255.0);  // saturating: clips to [0, 255]
            src = &depth;
            break;
        }
    }

    switch (channels) {
        case 1:
            cv::cvtColor(*src, buffers.colour, cv::COLOR_GRAY2BGR);
            bgr = buffers.colour;
            break;
        case 4:
            cv::cvtColor(*src, buffers.colour, cv::COLOR_BGRA2BGR);
            bgr = buffers.colour;
            break;
        default:
            bgr = *src;  // a view, no copy
            break;
    }
    return FrameStatus::Ok;
}

std::string Describe(FrameStatus status, const cv::Mat& image) {
    const std::string size = std::to_string(image.cols) + "x" + std::to_string(image.rows);
    switch (status) {
        case FrameStatus::Ok:
            return "ok";
        case FrameStatus::Empty:
            return "empty image";
        case FrameStatus::TooSmall:
            return "image " + size + " is smaller than " + std::to_string(kMinFrameSide) +
                   " pixels on a side";
        case FrameStatus::TooLarge:
            return "image " + size + " is larger than " + std::to_string(kMaxFrameSide) + " pixels on a side";
        case FrameStatus::Unsupported:
            return "image of " + std::to_string(image.channels()) + " channels and " +
                   std::to_string(image.dims) + " dimensions is not supported";
    }
    return "unknown";
}

}  // namespace firesmoke
