// Candidate stage from a learned grid network: a small convolutional network
// scores every 16x16 cell of the downscaled frame for fire and smoke; cells
// above the candidate level are grouped into boxes. Motion adds evidence.
// cv::dnn reads the network; its passes run on the detector's own kernels
// (direct_network) when they reproduce cv::dnn's output, else through cv::dnn.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <opencv2/dnn.hpp>
#include <string>
#include <vector>

#include "direct_network.h"
#include "scorer.h"

namespace firesmoke {

/// @brief Networks to lend to concurrent callers: cv::dnn::Net::forward is not
/// safe on one object from two threads, so each caller borrows its own.
class NetPool {
public:
    NetPool(std::string modelFile, std::size_t capacity);

    /// @brief Loads one network now, so that a broken file fails at once. Throws cv::Exception.
    void Preload();

    /// @brief Loads every network of the pool and runs each once on @p input up to @p outputName.
    void WarmUp(const cv::Mat& input, const std::string& outputName);

    /// @brief A borrowed network, returned to the pool when the lease ends.
    class Lease {
    public:
        Lease(NetPool& pool, std::unique_ptr<cv::dnn::Net> net) : pool_(&pool), net_(std::move(net)) {}
        Lease(Lease&&) = default;
        ~Lease() {
            if (net_) {
                pool_->Return(std::move(net_));
            }
        }
        cv::dnn::Net& operator*() { return *net_; }

    private:
        NetPool* pool_;
        std::unique_ptr<cv::dnn::Net> net_;
    };

    /// @brief Borrows a network: an idle one, a new one while under capacity, or
    /// the next one returned.
    Lease Borrow();

    /// @brief Frees the idle networks; later borrowers load new ones.
    void Clear();

private:
    std::unique_ptr<cv::dnn::Net> Load() const;
    void Return(std::unique_ptr<cv::dnn::Net> net);

    const std::string modelFile_;
    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<cv::dnn::Net>> idle_;
    std::size_t created_ = 0;
};

class NetworkScorer final : public Scorer {
public:
    /// @brief Loads the network once (throws cv::Exception when it cannot be read).
    NetworkScorer(const NetworkConfig& network, const ColourConfig& colour);

    cv::Size WorkSize(cv::Size frame) const override;
    /// Runs the network on one frame of a camera in NetworkConfig::interval, and on
    /// every frame without @p memory; the frames in between reuse the camera's last
    /// grid with their own motion and colour.
    void Score(const cv::Mat& work, const cv::Mat& motion, int minArea, std::vector<Candidate>& out,
               ScorerScratch& scratch, ScorerMemory* memory) const override;
    void WarmUp() override;

    /// @brief What runs the passes: "direct/avx2" or "direct/portable" (the detector's
    /// own kernels), or "dnn" (OpenCV's dnn module).
    std::string Runtime() const;

private:
    // Maps a cell probability to a score where the calibrated threshold is 0.5.
    float Calibrated(float p, float threshold) const;
    void Forward(const cv::Mat& work, cv::Mat& grid, ScorerScratch& s) const;
    void ForwardDnn(const cv::Mat& work, cv::Mat& grid, ScorerScratch& s) const;
    // The plan of the direct path when it reproduces cv::dnn's output, else null and @p why.
    std::unique_ptr<DirectNetwork> PlanDirect(std::string& why);
    void Boxes(const cv::Mat& prob, int classId, float threshold, const cv::Mat& work, const cv::Mat& motion,
               int minArea, std::vector<Candidate>& out, ScorerScratch& s) const;

    NetworkConfig network_;
    ColourConfig colour_;
    std::string outputName_;  ///< the network's output layer, read once at load
    mutable NetPool pool_;
    std::unique_ptr<DirectNetwork> direct_;  ///< null: passes run through the pool
};

}  // namespace firesmoke
