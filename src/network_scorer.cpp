#include "network_scorer.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "log.h"

namespace firesmoke {

namespace {

// Standard deviation (grey levels) below which a region counts as flat.
constexpr double kFlatStdDev = 2.0;

// Share of a fire box's pixels that must move for full motion evidence: flames move
// in a small part of their box. Smoke's share comes from the model folder, since a
// plume drifts through most of its box, whereas a wall or a pole that people walk
// past changes in a few of its pixels.
constexpr double kFireFullMotion = 0.1;

// Largest difference in a cell probability that the direct path may show against
// cv::dnn: both sum the same products in another order, which moves the last digits.
constexpr double kDirectTolerance = 1e-4;

// Images on which the direct path must reproduce cv::dnn's output: texture at every
// scale, and a flat frame with a bright orange blob, which drives the fire cells high.
std::vector<cv::Mat> ProbeImages(int width, int height) {
    cv::Mat noise(height, width, CV_8UC3);
    cv::RNG rng(20261211);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    cv::Mat smooth;
    cv::GaussianBlur(noise, smooth, cv::Size(0, 0), 2.0);
    cv::Mat blob(height, width, CV_8UC3, cv::Scalar(60, 70, 80));
    cv::circle(blob, {width / 2, height / 2}, std::max(4, height / 5), cv::Scalar(40, 170, 255), cv::FILLED);
    cv::GaussianBlur(blob, blob, cv::Size(0, 0), 3.0);
    return {noise, smooth, blob};
}

// Share of the pixels of @p box whose motion value is at least @p threshold.
double MovingShare(const cv::Mat& motion, const cv::Rect& box, int threshold) {
    int moving = 0;
    for (int y = box.y; y < box.y + box.height; ++y) {
        const uchar* m = motion.ptr<uchar>(y) + box.x;
        for (int x = 0; x < box.width; ++x) {
            moving += m[x] >= threshold ? 1 : 0;
        }
    }
    return box.area() > 0 ? moving / static_cast<double>(box.area()) : 0.0;
}

// Share of the pixels of @p box that have the colour of flames.
double FireColourShare(const cv::Mat& work, const cv::Rect& box, const ColourConfig& c) {
    int hits = 0;
    for (int y = box.y; y < box.y + box.height; ++y) {
        const uchar* p = work.ptr<uchar>(y) + 3 * box.x;
        for (int x = 0; x < box.width; ++x, p += 3) {
            const int b = p[0], g = p[1], r = p[2];
            hits += c.IsFlame(b, g, r) ? 1 : 0;
        }
    }
    return box.area() > 0 ? hits / static_cast<double>(box.area()) : 0.0;
}

}  // namespace

NetPool::NetPool(std::string modelFile, std::size_t capacity)
    : modelFile_(std::move(modelFile)), capacity_(std::max<std::size_t>(1, capacity)) {}

std::unique_ptr<cv::dnn::Net> NetPool::Load() const {
    auto net = std::make_unique<cv::dnn::Net>(cv::dnn::readNetFromONNX(modelFile_));
    if (net->empty()) {
        CV_Error(cv::Error::StsError, "the network file holds no layers");
    }
    net->setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net->setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    return net;
}

void NetPool::Preload() {
    auto net = Load();
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(net));
    ++created_;
}

void NetPool::WarmUp(const cv::Mat& input, const std::string& outputName) {
    std::vector<Lease> leases;
    for (std::size_t i = 0; i < capacity_; ++i) {
        leases.push_back(Borrow());
    }
    for (auto& lease : leases) {
        (*lease).setInput(input);
        (*lease).forward(outputName);
    }
}

NetPool::Lease NetPool::Borrow() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!idle_.empty()) {
            auto net = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(net));
        }
        if (created_ < capacity_) {
            ++created_;
            lock.unlock();
            try {
                return Lease(*this, Load());
            } catch (...) {
                std::lock_guard<std::mutex> relock(mutex_);
                --created_;
                throw;
            }
        }
        returned_.wait(lock);
    }
}

void NetPool::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    created_ -= idle_.size();
    idle_.clear();
}

void NetPool::Return(std::unique_ptr<cv::dnn::Net> net) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_.push_back(std::move(net));
    }
    returned_.notify_one();
}

NetworkScorer::NetworkScorer(const NetworkConfig& network, const ColourConfig& colour)
    : network_(network),
      colour_(colour),
      pool_(network.modelFile, std::max(2u, std::thread::hardware_concurrency())) {
    pool_.Preload();
    // Weights and calibration that describe different networks would fail on every
    // frame; run the network once now so that Initialize refuses the folder instead.
    const int h = network_.inputHeight, w = network_.inputWidth;
    const std::string expected = "1x2x" + std::to_string(network_.gridHeight) + "x" +
                                 std::to_string(network_.gridWidth) + " for a " + std::to_string(w) + "x" +
                                 std::to_string(h) + " input, as " + network_.calibrationFile + " says";
    cv::Mat out;
    try {
        NetPool::Lease net = pool_.Borrow();
        // Named once: forward() without a name lists every layer's name on each call.
        const std::vector<std::string> outputs = (*net).getUnconnectedOutLayersNames();
        if (outputs.size() != 1) {
            CV_Error(cv::Error::StsBadSize, "it has " + std::to_string(outputs.size()) + " outputs, not one");
        }
        outputName_ = outputs.front();
        (*net).setInput(cv::dnn::blobFromImage(cv::Mat(h, w, CV_8UC3, cv::Scalar::all(0)), 1.0 / 255.0));
        out = (*net).forward(outputName_);
    } catch (const cv::Exception& e) {
        CV_Error(cv::Error::StsBadSize,
                 network_.modelFile + ": the network does not run on " + expected + " (" + e.msg + ")");
    }
    if (out.dims != 4 || out.size[0] != 1 || out.size[1] != 2 || out.size[2] != network_.gridHeight ||
        out.size[3] != network_.gridWidth) {
        CV_Error(cv::Error::StsBadSize, network_.modelFile + ": the network's output is not " + expected);
    }
    if (network_.runtime == "direct") {
        std::string why;
        direct_ = PlanDirect(why);
        if (direct_) {
            pool_.Clear();  // only the direct path runs from now on
        } else {
            LogMessage(network_.modelFile, "passes run through OpenCV's dnn module: " + why);
        }
    }
}

std::unique_ptr<DirectNetwork> NetworkScorer::PlanDirect(std::string& why) {
    const int h = network_.inputHeight, w = network_.inputWidth;
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(network_.modelFile);
        std::unique_ptr<DirectNetwork> plan =
            DirectNetwork::Compile(net, {w, h}, 3, kernels::BestConvKernels(), why);
        if (!plan) {
            return nullptr;
        }
        DirectNetwork::Workspace ws;
        cv::Mat mine;
        NetPool::Lease reference = pool_.Borrow();
        for (const cv::Mat& image : ProbeImages(w, h)) {
            (*reference).setInput(cv::dnn::blobFromImage(image, 1.0 / 255.0));
            const cv::Mat theirs = (*reference).forward(outputName_);
            plan->Run(image, mine, ws);
            if (mine.size != theirs.size) {
                why = "the direct path's output has another shape than cv::dnn's";
                return nullptr;
            }
            const double gap = cv::norm(mine.reshape(1, 1), theirs.reshape(1, 1), cv::NORM_INF);
            if (!(gap <= kDirectTolerance)) {
                why = "the direct path's output differs from cv::dnn's by " + std::to_string(gap) +
                      " on a test image";
                return nullptr;
            }
        }
        return plan;
    } catch (const cv::Exception& e) {  // the direct path is a speed-up: without it, cv::dnn runs
        why = "the direct path failed on a test image (" + e.msg + ")";
        return nullptr;
    }
}

std::string NetworkScorer::Runtime() const {
    return direct_ ? std::string("direct/") + direct_->Kernels().name : std::string("dnn");
}

cv::Size NetworkScorer::WorkSize(cv::Size) const {
    return {network_.inputWidth, network_.inputHeight};
}

void NetworkScorer::WarmUp() {
    const cv::Mat blank(network_.inputHeight, network_.inputWidth, CV_8UC3, cv::Scalar::all(0));
    if (direct_) {
        // Each thread sizes its own workspace on its first pass; this pass touches
        // the weights and the code once.
        DirectNetwork::Workspace ws;
        cv::Mat out;
        direct_->Run(blank, out, ws);
        return;
    }
    pool_.WarmUp(cv::dnn::blobFromImage(blank, 1.0 / 255.0), outputName_);
}

float NetworkScorer::Calibrated(float p, float threshold) const {
    if (p <= threshold) {
        return 0.5f * p / threshold;
    }
    return 0.5f + 0.5f * (p - threshold) / (1.0f - threshold);
}

void NetworkScorer::Score(const cv::Mat& work, const cv::Mat& motion, int minArea,
                          std::vector<Candidate>& out, ScorerScratch& s, ScorerMemory* memory) const {
    out.clear();
    cv::Mat* grid = &s.output;
    if (memory == nullptr) {
        Forward(work, s.output, s);
    } else {
        if (!memory->valid || memory->age + 1 >= network_.interval) {
            Forward(work, memory->maps, s);
            // The first pass of a history runs at once; the camera's phase then sets
            // how soon the next one comes.
            const unsigned interval = static_cast<unsigned>(network_.interval);
            memory->age = memory->valid ? 0 : static_cast<int>(memory->phase % interval);
            memory->valid = true;
        } else {
            ++memory->age;  // flames move little in a few frames; the fresh motion still counts
        }
        grid = &memory->maps;
    }
    const int gh = network_.gridHeight, gw = network_.gridWidth;
    const cv::Mat fire(gh, gw, CV_32F, grid->ptr<float>(0, 0));
    const cv::Mat smoke(gh, gw, CV_32F, grid->ptr<float>(0, 1));
    Boxes(fire, kFireClass, network_.fireThreshold, work, motion, minArea, out, s);
    Boxes(smoke, kSmokeClass, network_.smokeThreshold, work, motion, minArea, out, s);
}

void NetworkScorer::Forward(const cv::Mat& work, cv::Mat& grid, ScorerScratch& s) const {
    if (direct_) {
        direct_->Run(work, grid, s.network);
    } else {
        ForwardDnn(work, grid, s);
    }
    const int gh = network_.gridHeight, gw = network_.gridWidth;
    if (grid.dims != 4 || grid.size[0] != 1 || grid.size[1] != 2 || grid.size[2] != gh ||
        grid.size[3] != gw) {
        CV_Error(cv::Error::StsBadSize, "the network's output is not 1x2x" + std::to_string(gh) + "x" +
                                            std::to_string(gw) + " as its calibration says");
    }
}

void NetworkScorer::ForwardDnn(const cv::Mat& work, cv::Mat& grid, ScorerScratch& s) const {
    // The working frame already has the network's input size: convert it into
    // the planes of the reused input blob without temporary images.
    const int h = network_.inputHeight, w = network_.inputWidth;
    const int shape[] = {1, 3, h, w};
    s.blob.create(4, shape, CV_32F);
    work.convertTo(s.c, CV_32FC3, 1.0 / 255.0);
    cv::Mat planes[] = {cv::Mat(h, w, CV_32F, s.blob.ptr<float>(0, 0)),
                        cv::Mat(h, w, CV_32F, s.blob.ptr<float>(0, 1)),
                        cv::Mat(h, w, CV_32F, s.blob.ptr<float>(0, 2))};
    cv::split(s.c, planes);
    {
        NetPool::Lease net = pool_.Borrow();
        (*net).setInput(s.blob);
        (*net).forward(outputName_).copyTo(grid);  // the net's buffers go back with the lease
    }
}

void NetworkScorer::Boxes(const cv::Mat& prob, int classId, float threshold, const cv::Mat& work,
                          const cv::Mat& motion, int minArea, std::vector<Candidate>& out,
                          ScorerScratch& s) const {
    // Cells at half the calibrated threshold (a score of 0.25) are candidates; each
    // 8-connected group of them is one region. The grid is a few hundred cells, so a
    // flood fill over reused buffers finds the groups, their bounds and their best
    // cell at once, without allocating.
    CV_Assert(prob.type() == CV_32F && prob.isContinuous());
    const float cut = 0.5f * threshold;
    const int cols = prob.cols, cells = prob.rows * prob.cols;
    const float* p = prob.ptr<float>();
    s.counts.assign(static_cast<std::size_t>(cells), 0);  // 1 once a cell belongs to a region
    const int cellW = work.cols / prob.cols, cellH = work.rows / prob.rows;
    for (int seed = 0; seed < cells; ++seed) {
        if (p[seed] < cut || s.counts[static_cast<std::size_t>(seed)] != 0) {
            continue;
        }
        float best = 0.0f;
        int left = cols, top = prob.rows, right = -1, bottom = -1;
        s.cells.assign(1, seed);
        s.counts[static_cast<std::size_t>(seed)] = 1;
        while (!s.cells.empty()) {
            const int cell = s.cells.back();
            s.cells.pop_back();
            const int cx = cell % cols, cy = cell / cols;
            best = std::max(best, p[cell]);
            left = std::min(left, cx);
            right = std::max(right, cx);
            top = std::min(top, cy);
            bottom = std::max(bottom, cy);
            for (int y = std::max(0, cy - 1); y <= std::min(prob.rows - 1, cy + 1); ++y) {
                for (int x = std::max(0, cx - 1); x <= std::min(cols - 1, cx + 1); ++x) {
                    const int next = y * cols + x;
                    if (p[next] >= cut && s.counts[static_cast<std::size_t>(next)] == 0) {
                        s.counts[static_cast<std::size_t>(next)] = 1;
                        s.cells.push_back(next);
                    }
                }
            }
        }
        const cv::Rect box(left * cellW, top * cellH, (right - left + 1) * cellW, (bottom - top + 1) * cellH);
        if (box.area() < minArea) {
            continue;
        }
        // A flat region (a blank frame, a lost signal, a plain wall) carries no
        // evidence of anything, whatever the network makes of it.
        cv::Scalar mean, stddev;
        cv::meanStdDev(work(box), mean, stddev);
        if (std::max({stddev[0], stddev[1], stddev[2]}) < kFlatStdDev) {
            continue;
        }
        double factor = 1.0;  // without history the calibrated probability is the evidence
        if (!motion.empty()) {
            // Fire flickers and smoke drifts: a region that does not change at all is
            // a lamp, a sunset, fog or a wall until it does.
            const double moving = MovingShare(motion, box, colour_.motionThreshold);
            factor = classId == kFireClass ? 0.4 + 0.6 * std::min(1.0, moving / kFireFullMotion)
                                           : 0.2 + 0.8 * std::min(1.0, moving / network_.smokeFullMotion);
        }
        if (classId == kFireClass) {
            // Flame colour in the box adds evidence; a "fire" with none of it loses some.
            factor *= 0.8 + 0.4 * std::min(1.0, FireColourShare(work, box, colour_) / 0.1);
        }
        const float score = static_cast<float>(Calibrated(best, threshold) * factor);
        out.push_back({classId, box, std::clamp(score, 0.0f, 1.0f)});
    }
}

}  // namespace firesmoke
