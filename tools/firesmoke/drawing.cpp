#include "drawing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>

#include "model_loader.h"

namespace firesmoke::cli {

namespace {

constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
constexpr int kGap = 4;
const cv::Scalar kSheetBackground(40, 40, 40);

std::string ConfidenceText(float confidence) {
    char text[16];
    std::snprintf(text, sizeof(text), "%.2f", static_cast<double>(confidence));
    return text;
}

// Cuts @p text from the end, with "...", until it fits @p maxWidth pixels.
std::string FitText(const std::string& text, double fontScale, int maxWidth) {
    int baseline = 0;
    if (cv::getTextSize(text, kFont, fontScale, 1, &baseline).width <= maxWidth) {
        return text;
    }
    std::string cut = text;
    while (!cut.empty()) {
        cut.pop_back();
        const std::string candidate = cut + "...";
        if (cv::getTextSize(candidate, kFont, fontScale, 1, &baseline).width <= maxWidth) {
            return candidate;
        }
    }
    return {};
}

}  // namespace

cv::Scalar ClassColour(int classId) {
    switch (classId) {
        case 0:
            return {0, 80, 255};
        case 2:
            return {230, 200, 150};
        default: {
            static const cv::Scalar kPalette[] = {
                {80, 220, 80}, {220, 80, 220}, {80, 220, 220}, {220, 220, 80}};
            const size_t n = sizeof(kPalette) / sizeof(kPalette[0]);
            return kPalette[static_cast<size_t>(std::abs(classId)) % n];
        }
    }
}

void DrawDetections(cv::Mat& canvas, const std::vector<CustomDetection>& detections,
                    const std::vector<std::string>& classNames, double scale, cv::Point2d offset) {
    const int shortSide = std::min(canvas.cols, canvas.rows);
    const int thickness = std::max(1, shortSide / 240);
    const double fontScale = std::clamp(static_cast<double>(shortSide) / 600.0, 0.35, 1.2);
    for (const CustomDetection& d : detections) {
        const cv::Point topLeft(static_cast<int>(std::lround(d.box.x * scale + offset.x)),
                                static_cast<int>(std::lround(d.box.y * scale + offset.y)));
        const cv::Point bottomRight(
            static_cast<int>(std::lround((d.box.x + d.box.width) * scale + offset.x)),
            static_cast<int>(std::lround((d.box.y + d.box.height) * scale + offset.y)));
        const cv::Scalar colour = ClassColour(d.classId);
        cv::rectangle(canvas, topLeft, bottomRight, colour, thickness, cv::LINE_8);

        const std::string tag = ClassName(d.classId, classNames) + " " + ConfidenceText(d.confidence);
        int baseline = 0;
        const cv::Size textSize = cv::getTextSize(tag, kFont, fontScale, 1, &baseline);
        // The tag sits above the box, or inside its top edge when there is no room.
        int top = topLeft.y - textSize.height - baseline - 2;
        if (top < 0) {
            top = topLeft.y;
        }
        const int left = std::clamp(topLeft.x, 0, std::max(0, canvas.cols - textSize.width - 2));
        const cv::Rect tagRect(left, top, textSize.width + 2, textSize.height + baseline + 2);
        cv::rectangle(canvas, tagRect, colour, cv::FILLED);
        cv::putText(canvas, tag, {left + 1, top + textSize.height + 1}, kFont, fontScale, {0, 0, 0}, 1,
                    cv::LINE_AA);
    }
}

cv::Mat MakeTile(const cv::Mat& frame, const std::vector<CustomDetection>& detections,
                 const std::vector<std::string>& classNames, const std::string& title,
                 const std::string& outcome, Verdict verdict, const TileLayout& layout) {
    cv::Mat tile(layout.picture.height + layout.captionHeight, layout.picture.width, CV_8UC3,
                 cv::Scalar(0, 0, 0));
    cv::Mat picture = tile(cv::Rect({0, 0}, layout.picture));
    if (frame.empty()) {
        picture.setTo(cv::Scalar(90, 90, 90));
    } else {
        const double scale = std::min(static_cast<double>(layout.picture.width) / frame.cols,
                                      static_cast<double>(layout.picture.height) / frame.rows);
        const cv::Size scaled(std::max(1, static_cast<int>(std::lround(frame.cols * scale))),
                              std::max(1, static_cast<int>(std::lround(frame.rows * scale))));
        const cv::Point2d offset((layout.picture.width - scaled.width) / 2,
                                 (layout.picture.height - scaled.height) / 2);
        cv::Mat resized;
        cv::resize(frame, resized, scaled, 0, 0, cv::INTER_AREA);
        if (resized.channels() == 1) {
            cv::cvtColor(resized, resized, cv::COLOR_GRAY2BGR);
        }
        resized.copyTo(
            picture(cv::Rect(cv::Point(static_cast<int>(offset.x), static_cast<int>(offset.y)), scaled)));
        DrawDetections(picture, detections, classNames, scale, offset);
    }

    const cv::Scalar outcomeColour = verdict == Verdict::kCorrect ? cv::Scalar(120, 230, 120)
                                     : verdict == Verdict::kWrong ? cv::Scalar(80, 80, 255)
                                                                  : cv::Scalar(190, 190, 190);
    const double fontScale = 0.42;
    const int maxWidth = layout.picture.width - 8;
    const int lineHeight = layout.captionHeight / 2;
    cv::putText(tile, FitText(title, fontScale, maxWidth), {4, layout.picture.height + lineHeight - 5}, kFont,
                fontScale, {230, 230, 230}, 1, cv::LINE_AA);
    cv::putText(tile, FitText(outcome, fontScale, maxWidth), {4, layout.picture.height + 2 * lineHeight - 5},
                kFont, fontScale, outcomeColour, 1, cv::LINE_AA);
    return tile;
}

cv::Mat MakeContactSheet(const std::vector<cv::Mat>& tiles, int columns) {
    if (tiles.empty()) {
        return {};
    }
    columns = std::max(1, std::min(columns, static_cast<int>(tiles.size())));
    const int rows = (static_cast<int>(tiles.size()) + columns - 1) / columns;
    const cv::Size tileSize = tiles.front().size();
    cv::Mat sheet(rows * (tileSize.height + kGap) + kGap, columns * (tileSize.width + kGap) + kGap, CV_8UC3,
                  kSheetBackground);
    for (size_t i = 0; i < tiles.size(); ++i) {
        const int row = static_cast<int>(i) / columns;
        const int column = static_cast<int>(i) % columns;
        const cv::Rect where(kGap + column * (tileSize.width + kGap), kGap + row * (tileSize.height + kGap),
                             tileSize.width, tileSize.height);
        cv::Mat tile = tiles[i];
        if (tile.size() != tileSize) {
            cv::resize(tile, tile, tileSize);
        }
        tile.copyTo(sheet(where));
    }
    return sheet;
}

}  // namespace firesmoke::cli
