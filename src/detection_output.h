// Last stage: working-frame boxes to the caller's records.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "IVEKCustomClass.h"
#include "runtime_params.h"
#include "temporal_verifier.h"

namespace firesmoke {

/// @brief Appends @p found to @p out as CustomDetection records.
///
/// Boxes are scaled from @p work to @p frame, clipped to the frame, and dropped when
/// smaller than @p minArea frame pixels, below @p threshold (or, for smoke, below the
/// host's SmokeScore), or centred inside an exclusive rectangle.
void AppendDetections(const std::vector<Confirmation>& found, cv::Size work, cv::Size frame, float threshold,
                      double minArea, const RuntimeParams& params, std::vector<CustomDetection>& out);

}  // namespace firesmoke
