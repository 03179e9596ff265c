// The candidate stage: looks at the downscaled working frame and yields regions
// with a class and a score. It is the one stage that a learned model replaces,
// so it sits behind this interface and MakeScorer picks it from model.yml.
#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <vector>

#include "direct_network.h"
#include "model_config.h"

namespace firesmoke {

/// Class ids reported to the host.
constexpr int kFireClass = 0;
constexpr int kSmokeClass = 2;

/// @brief One region of the working frame that may be fire or smoke.
struct Candidate {
    int classId = kFireClass;  ///< kFireClass or kSmokeClass
    cv::Rect box;              ///< in working-frame pixels
    float score = 0.0f;        ///< single-frame evidence in [0, 1]
};

/// @brief Buffers a scorer may reuse between calls on one thread.
struct ScorerScratch {
    cv::Mat a, b, c, labels, stats, centroids, blob, output;
    std::vector<double> sums;
    std::vector<int> counts, cells;
    DirectNetwork::Workspace network;  ///< the network's tensors, when its own kernels run it
};

/// @brief What a scorer keeps about one camera from frame to frame: the result of
/// its expensive part, so that it need not run on every frame. Owned by the camera
/// and used under its lock.
struct ScorerMemory {
    cv::Mat maps;        ///< the last full evaluation (the network's grid); its buffer is reused
    bool valid = false;  ///< maps belongs to the camera's current history
    int age = 0;         ///< frames scored since maps was computed
    /// Offsets the camera's passes against other cameras' (any value; taken modulo the
    /// interval), so that a host that feeds its cameras in turn meets the expensive
    /// frames spread evenly rather than all in the same round. Kept by Reset.
    unsigned phase = 0;

    /// @brief Forgets the evaluation (new camera or new frame size); keeps the buffer.
    void Reset() {
        valid = false;
        age = 0;
    }
};

/// @brief Candidate stage. Implementations are safe to call from several threads at once.
class Scorer {
public:
    virtual ~Scorer() = default;

    /// @brief Size of the working frame for a caller's frame of size @p frame.
    virtual cv::Size WorkSize(cv::Size frame) const = 0;

    /// @brief Finds candidates in @p work (8-bit BGR, of size WorkSize()).
    /// @param motion  8-bit mask of moving pixels of @p work, or empty when the frame
    ///                is judged on its own (no history).
    /// @param minArea smallest candidate area in working-frame pixels.
    /// @param out     cleared, then filled.
    /// @param memory  the camera's memory, or null for a frame judged on its own; with
    ///                it a scorer may reuse an earlier frame's evaluation of the camera.
    virtual void Score(const cv::Mat& work, const cv::Mat& motion, int minArea, std::vector<Candidate>& out,
                       ScorerScratch& scratch, ScorerMemory* memory) const = 0;

    /// @brief Prepares for fast inference (loads and runs what is loaded lazily).
    virtual void WarmUp() {}
};

/// @brief Builds the scorer that @p config names.
std::unique_ptr<Scorer> MakeScorer(const ModelConfig& config);

}  // namespace firesmoke
