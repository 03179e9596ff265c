// libFuzzer target: RunInference on images built from the input. The first bytes
// choose the image's depth, channels, size, whether it is a sub-image, how many
// frames one camera gets, which overloads run and the host's parameters; the rest
// are the pixels (repeated to fill the image). Every answer must be a well-formed
// record; crashes, leaks and undefined behaviour are findings of the sanitizers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "VEKCustomFS.h"

namespace {

constexpr float kThreshold = 0.3f;
constexpr size_t kHeader = 20;

VEKCustomFS* g_detector = nullptr;
unsigned g_inputs = 0;

// Reads bytes from the front of the input; zeros once it is used up.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    float Float() {
        uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) {
            bits |= static_cast<uint32_t>(Byte()) << (8 * i);
        }
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
};

void Check(const std::vector<CustomDetection>& found, cv::Size frame) {
    const cv::Rect image(0, 0, frame.width, frame.height);
    for (const auto& d : found) {
        const bool ok = (d.classId == 0 || d.classId == 2) && d.confidence >= kThreshold &&
                        d.confidence <= 1.0f && !d.box.empty() && (d.box & image) == d.box;
        if (!ok) {
            std::fprintf(stderr, "malformed detection: class %d confidence %f box %dx%d+%d+%d in %dx%d\n",
                         d.classId, static_cast<double>(d.confidence), d.box.width, d.box.height, d.box.x,
                         d.box.y, frame.width, frame.height);
            std::abort();
        }
    }
}

// The host's parameters, from the input: values out of range and NaN included.
CustomParams Params(Reader& r) {
    CustomParams params;
    CustomParameter smoke;
    smoke.Name = "SmokeScore";
    smoke.DataType = "float";
    smoke.Number = r.Float();
    CustomParameter sensitivity;
    sensitivity.Name = "Sensitivity";
    sensitivity.DataType = "float";
    sensitivity.Number = r.Float();
    params.Parameters = {smoke, sensitivity};
    CustomItem roi;
    roi.Text = "ExclusiveROIs";
    roi.Values = {r.Byte() / 200.0, r.Byte() / 200.0, r.Byte() / 200.0, r.Byte() / 200.0};
    params.Items = {roi};
    return params;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_detector = new VEKCustomFS();
    std::string labels;
    if (!g_detector->Initialize(FIRESMOKE_FUZZ_MODEL_DIR, kThreshold, labels) ||
        !g_detector->OptimizeModel(true)) {
        std::fprintf(stderr, "cannot load the model folder %s\n", FIRESMOKE_FUZZ_MODEL_DIR);
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Header: depth, channels, rows, cols, flags, margin (8 bytes), then the host's
    // parameters (12 bytes), then the pixels.
    Reader r{data, size};
    static const int kDepths[] = {CV_8U, CV_8S, CV_16U, CV_16S, CV_32S, CV_32F, CV_64F, CV_16F};
    const int depth = kDepths[r.Byte() % 8];
    const int channels = 1 + r.Byte() % 4;
    const int rows = r.Word() % 300;  // 0 to 299: below, at and above the smallest usable side
    const int cols = r.Word() % 300;
    const uint8_t flags = r.Byte();
    const int margin = r.Byte() % 8;
    const int frames = 1 + (flags & 3);
    const bool subImage = (flags & 4) != 0 && rows > 0 && cols > 0;
    const bool single = (flags & 8) != 0;
    const CustomParams params = Params(r);
    g_detector->SetParameters((flags & 16) != 0 ? params : CustomParams());
    const size_t start = std::min(size, kHeader);
    const uint8_t* pixels = data + start;
    const size_t available = size - start;

    // The whole buffer; the image is all of it or an inner sub-image with padded rows.
    const int border = subImage ? margin : 0;
    cv::Mat full(rows + 2 * border, cols + 2 * border, CV_MAKETYPE(depth, channels));
    const size_t bytes = full.total() * full.elemSize();

    // Cameras cycle through more identifiers than the detector keeps, so each input
    // starts on a camera without history and a crash replays from its input alone.
    const std::string camera = "fuzz-" + std::to_string(g_inputs++ % 512);
    for (int f = 0; f < frames; ++f) {
        for (size_t i = 0; i < bytes; ++i) {
            full.data[i] =
                available == 0
                    ? 0
                    : static_cast<uint8_t>(pixels[(i + static_cast<size_t>(f) * 7) % available] + f);
        }
        const cv::Mat image = subImage ? full(cv::Rect(border, border, cols, rows)) : full;
        Check(g_detector->RunInference(image, camera), image.size());
        if (single) {
            Check(g_detector->RunInference(image), image.size());
        }
    }
    return 0;
}
