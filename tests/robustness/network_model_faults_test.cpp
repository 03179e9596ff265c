// A model folder whose network weights are damaged: Initialize must refuse it
// with a message that names the broken file, leave the detector as if never
// initialised, and a later Initialize with a good folder must work.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "VEKCustomFS.h"

namespace {

namespace fs = std::filesystem;

const fs::path kBundled = FIRESMOKE_TEST_MODEL_DIR;
constexpr const char* kWeights = "firesmoke_grid.onnx";
constexpr const char* kCalibration = "firesmoke_grid.yml";

// Everything written to standard error while it lives (the detector's log).
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(fileno(stderr));
        dup2(fileno(file_), fileno(stderr));
    }
    ~StderrCapture() { Restore(); }
    std::string Text() {
        Restore();
        std::rewind(file_);
        std::string text;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) {
            text.append(buffer, n);
        }
        return text;
    }

private:
    void Restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, fileno(stderr));
            close(saved_);
            saved_ = -1;
        }
    }
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// model.yml of a folder that uses the grid network.
const char* const kNetworkModel =
    "%YAML:1.0\n---\nformat_version: 2\nname: \"VEK_FireSmoke\"\n"
    "classes: [ \"fire\", \"background\", \"smoke\" ]\nscorer: \"network\"\n"
    "network:\n   model: \"firesmoke_grid.onnx\"\n   calibration: \"firesmoke_grid.yml\"\n";

// A scratch copy of the bundled model folder, switched to the network scorer.
class NetworkModelFaults : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kBundled / kWeights)) {
            GTEST_SKIP() << "the bundled model has no " << kWeights;
        }
        dir_ = fs::temp_directory_path() / ("firesmoke-netfault-" + std::to_string(getpid()));
        good_ = dir_ / "good";
        bad_ = dir_ / "bad";
        fs::remove_all(dir_);
        for (const auto& d : {good_, bad_}) {
            fs::create_directories(d);
            fs::copy_file(kBundled / kWeights, d / kWeights);
            fs::copy_file(kBundled / kCalibration, d / kCalibration);
            WriteAll(d / "model.yml", kNetworkModel);
        }
        weights_ = ReadAll(kBundled / kWeights);
    }
    void TearDown() override {
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }

    fs::path dir_, good_, bad_;
    std::string weights_;
};

// A frame with a fire-coloured blob: enough for the network to be run on it.
cv::Mat Frame() {
    cv::Mat frame(240, 320, CV_8UC3, cv::Scalar(60, 70, 80));
    cv::circle(frame, {160, 120}, 40, cv::Scalar(30, 140, 250), cv::FILLED);
    return frame;
}

TEST_F(NetworkModelFaults, TheCopiedFolderLoadsWithTheNetwork) {
    VEKCustomFS detector;
    std::string labels;
    ASSERT_TRUE(detector.Initialize(good_.string(), 0.5f, labels));
    EXPECT_EQ(labels, "fire,background,smoke");
    EXPECT_TRUE(detector.OptimizeModel(true));
    detector.RunInference(Frame(), "cam");
    EXPECT_TRUE(detector.Destroy());
}

TEST_F(NetworkModelFaults, DamagedFilesAreRefusedByNameAndAGoodFolderLoadsAfterwards) {
    std::mt19937 rng(7);
    std::string random(weights_.size(), '\0');
    for (auto& b : random) {
        b = static_cast<char>(rng() & 0xff);
    }
    struct Case {
        const char* name;
        const char* file;   // the file of the folder that is damaged
        std::string bytes;  // its new content, unless it is removed
        bool remove;
    };
    // A calibration that is well-formed but describes another network: a 12x7 grid
    // (the input is still a whole number of its cells) where the weights give 24x14.
    std::string otherGrid = ReadAll(kBundled / kCalibration);
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"grid_width: 24", "grid_width: 12"},
                                   {"grid_height: 14", "grid_height: 7"}}) {
        const auto at = otherGrid.find(from);
        ASSERT_NE(at, std::string::npos) << "the bundled calibration has no '" << from << "'";
        otherGrid.replace(at, from.size(), to);
    }
    const std::vector<Case> cases = {
        {"weights missing", kWeights, "", true},
        {"weights empty", kWeights, "", false},
        {"weights truncated to half", kWeights, weights_.substr(0, weights_.size() / 2), false},
        {"weights truncated to 100 bytes", kWeights, weights_.substr(0, 100), false},
        {"weights of random bytes", kWeights, random, false},
        {"weights are text", kWeights, "not a network\n", false},
        {"calibration missing", kCalibration, "", true},
        {"calibration truncated", kCalibration, ReadAll(kBundled / kCalibration).substr(0, 60), false},
        {"calibration of random bytes", kCalibration, random.substr(0, 500), false},
        {"calibration of another network", kCalibration, otherGrid, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::copy_file(kBundled / kWeights, bad_ / kWeights, fs::copy_options::overwrite_existing);
        fs::copy_file(kBundled / kCalibration, bad_ / kCalibration, fs::copy_options::overwrite_existing);
        if (c.remove) {
            fs::remove(bad_ / c.file);
        } else {
            WriteAll(bad_ / c.file, c.bytes);
        }

        VEKCustomFS detector;
        std::string labels = "untouched";
        StderrCapture log;
        const bool loaded = detector.Initialize(bad_.string(), 0.5f, labels);
        const std::string message = log.Text();
        EXPECT_FALSE(loaded);
        EXPECT_EQ(labels, "untouched");
        EXPECT_NE(message.find(c.file), std::string::npos) << "the message does not name " << c.file << ":\n"
                                                           << message;
        // As if never initialised.
        EXPECT_FALSE(detector.OptimizeModel(true));
        EXPECT_TRUE(detector.RunInference(Frame(), "cam").empty());
        EXPECT_TRUE(detector.RunInference(Frame()).empty());

        // The same object takes a good folder afterwards and runs.
        ASSERT_TRUE(detector.Initialize(good_.string(), 0.5f, labels));
        EXPECT_EQ(labels, "fire,background,smoke");
        EXPECT_TRUE(detector.OptimizeModel(true));
        for (int i = 0; i < 3; ++i) {
            detector.RunInference(Frame(), "cam");
        }
        EXPECT_TRUE(detector.Destroy());
    }
}

TEST_F(NetworkModelFaults, AFailedInitializeReleasesTheModelLoadedBefore) {
    // A detector that ran with a good model and is then given a broken one must not
    // keep answering with the old model.
    VEKCustomFS detector;
    std::string labels;
    ASSERT_TRUE(detector.Initialize(good_.string(), 0.5f, labels));
    WriteAll(bad_ / kWeights, weights_.substr(0, weights_.size() / 3));
    StderrCapture log;
    EXPECT_FALSE(detector.Initialize(bad_.string(), 0.5f, labels));
    log.Text();
    EXPECT_FALSE(detector.OptimizeModel(true));
    EXPECT_TRUE(detector.Destroy());
}

}  // namespace
