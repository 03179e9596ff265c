// Boxes with class and confidence on frames, and the contact sheet of `eval`.
#ifndef FIRESMOKE_DRAWING_H
#define FIRESMOKE_DRAWING_H

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "IVEKCustomClass.h"

namespace firesmoke::cli {

/// Box colour (BGR) of a class: orange-red for fire (0), light blue for smoke (2),
/// a fixed palette for any other id.
cv::Scalar ClassColour(int classId);

/// Draws each detection's box and a "name 0.87" tag on @p canvas. Boxes are given
/// in source-image coordinates and drawn at source * @p scale + @p offset, so the
/// same call serves full-size frames and scaled-down tiles.
void DrawDetections(cv::Mat& canvas, const std::vector<CustomDetection>& detections,
                    const std::vector<std::string>& classNames, double scale = 1.0,
                    cv::Point2d offset = {0.0, 0.0});

/// How a tile's outcome line is coloured.
enum class Verdict { kCorrect, kWrong, kNeutral };

/// Size of the picture part of a tile and the height of its caption strip.
struct TileLayout {
    cv::Size picture{320, 180};
    int captionHeight = 40;
};

/// A tile: @p frame letterboxed into the picture area (grey when empty) with its
/// detections drawn, above a caption strip of two lines: @p title (cut to fit)
/// and @p outcome in the verdict's colour.
cv::Mat MakeTile(const cv::Mat& frame, const std::vector<CustomDetection>& detections,
                 const std::vector<std::string>& classNames, const std::string& title,
                 const std::string& outcome, Verdict verdict, const TileLayout& layout = {});

/// Lays equally sized tiles out in rows of @p columns on a dark background.
cv::Mat MakeContactSheet(const std::vector<cv::Mat>& tiles, int columns = 6);

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_DRAWING_H
