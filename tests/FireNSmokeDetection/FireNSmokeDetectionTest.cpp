// Certification tests of the fire-and-smoke detector plug-in.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "IVEKCustomClass.h"
#include "VEKCustomFS.h"

// Asset paths. On Windows they are the fixed install locations; elsewhere a
// drive-letter path never exists, so the root comes from the build.
#if defined(_WIN32)
const std::string FIRESMOKE_MODEL_DIR = "C:\\Programs\\DemoAssets\\ModelsForZOLVAN\\VEK_FireSmoke_v2.0";
const std::string FIRESMOKE_VIDEO = "C:\\Programs\\DemoAssets\\Videos\\FireNSmoke\\VEKFireFull.mp4";
#else
#ifndef FIRESMOKE_ASSET_ROOT
#error "FIRESMOKE_ASSET_ROOT must name the folder that holds the test assets"
#endif
const std::string FIRESMOKE_MODEL_DIR =
    std::string(FIRESMOKE_ASSET_ROOT) + "/ModelsForZOLVAN/VEK_FireSmoke_v2.0";
const std::string FIRESMOKE_VIDEO = std::string(FIRESMOKE_ASSET_ROOT) + "/Videos/FireNSmoke/VEKFireFull.mp4";
#endif

static bool DirectoryExists(const std::string& path) {
    if (!std::filesystem::exists(std::filesystem::path(path))) {
        return false;
    }
    return std::filesystem::is_directory(std::filesystem::path(path));
}

static bool PathExists(const std::string& path) {
    return std::filesystem::exists(std::filesystem::path(path));
}

static std::vector<std::string> SplitLabelMap(const std::string& text) {
    std::vector<std::string> pieces;
    std::stringstream stream(text);
    std::string piece;
    while (std::getline(stream, piece, ',')) {
        pieces.push_back(piece);
    }
    return pieces;
}

class FireNSmokeUnitTest : public testing::Test {
protected:
    VEKCustomFS detector;
};

class FireNSmokeIntegrationTest : public testing::Test {
protected:
    VEKCustomFS detector;
    std::string labelMap;
    std::vector<std::string> classes;

    void SetUp() override {
        if (!DirectoryExists(FIRESMOKE_MODEL_DIR)) {
            GTEST_SKIP() << "Fire/Smoke model not found at: " << FIRESMOKE_MODEL_DIR;
        }
        bool ok = detector.Initialize(FIRESMOKE_MODEL_DIR, 0.5f, labelMap);
        ASSERT_TRUE(ok) << "Failed to initialize Fire/Smoke detector";
        classes = SplitLabelMap(labelMap);
    }

    void TearDown() override { detector.Destroy(); }
};

// ---------------------------------------------------------------------------
// Unit tests: a detector that was never given a model
// ---------------------------------------------------------------------------

TEST_F(FireNSmokeUnitTest, EmptyFrameReturnsNoDetections) {
    cv::Mat frame;
    auto results = detector.RunInference(frame);
    EXPECT_TRUE(results.empty());
}

TEST_F(FireNSmokeUnitTest, TinyFrameReturnsNoDetections) {
    cv::Mat frame(5, 5, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame);
    EXPECT_TRUE(results.empty());
}

TEST_F(FireNSmokeUnitTest, UninitializedDetectorReturnsNoDetections) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame);
    EXPECT_TRUE(results.empty());
}

TEST_F(FireNSmokeUnitTest, RunInferenceWithCameraId) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame, "test_cam_01");
    EXPECT_TRUE(results.empty());
}

TEST_F(FireNSmokeUnitTest, ConfigureParametersReturnsValidConfig) {
    CustomParams params;
    bool result = detector.ConfigureParameters(params);
    EXPECT_TRUE(result);
    ASSERT_FALSE(params.ROI_Config.empty());
    EXPECT_EQ(params.ROI_Config[0].Name, "ExclusiveROIs");
    EXPECT_TRUE(params.ROI_Config[0].Rectangle);
    EXPECT_FALSE(params.ROI_Config[0].Polygon);
    EXPECT_FALSE(params.ROI_Config[0].Line);
    EXPECT_EQ(params.ROI_Config[0].MinItems, 0);
    EXPECT_EQ(params.ROI_Config[0].MaxItems, 20);
    ASSERT_GE(params.Parameters.size(), 2u);

    bool hasSmokeScore = false;
    bool hasSensitivity = false;
    for (const auto& p : params.Parameters) {
        if (p.Name == "SmokeScore") {
            hasSmokeScore = true;
            EXPECT_EQ(p.DataType, "float");
            EXPECT_EQ(p.MaxValue, 1);
            EXPECT_EQ(p.MinValue, 0);
        }
        if (p.Name == "Sensitivity") {
            hasSensitivity = true;
            EXPECT_EQ(p.DataType, "float");
        }
    }
    EXPECT_TRUE(hasSmokeScore) << "Missing SmokeScore parameter";
    EXPECT_TRUE(hasSensitivity) << "Missing Sensitivity parameter";
}

TEST_F(FireNSmokeUnitTest, DestroySucceeds) {
    EXPECT_TRUE(detector.Destroy());
}

TEST_F(FireNSmokeUnitTest, DestroyCanBeCalledMultipleTimes) {
    EXPECT_TRUE(detector.Destroy());
    EXPECT_TRUE(detector.Destroy());
}

TEST_F(FireNSmokeUnitTest, InitializeWithInvalidDirectoryFails) {
    std::string labelMap;
    bool result = detector.Initialize("C:\\NonExistent\\Path\\Model", 0.5f, labelMap);
    EXPECT_FALSE(result);
}

TEST_F(FireNSmokeUnitTest, OptimizeBeforeInitializeReturnsFalse) {
    EXPECT_FALSE(detector.OptimizeModel(true));
}

// ---------------------------------------------------------------------------
// Integration tests: the bundled model and test video
// ---------------------------------------------------------------------------

TEST_F(FireNSmokeIntegrationTest, InitializeProducesLabelMap) {
    EXPECT_FALSE(labelMap.empty());
    EXPECT_FALSE(classes.empty());
}

TEST_F(FireNSmokeIntegrationTest, InferenceOnSolidFrameReturnsNoDetections) {
    cv::Mat frame(1080, 1920, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame, "test_cam");
    EXPECT_TRUE(results.empty()) << "Solid gray frame should not trigger fire/smoke";
}

TEST_F(FireNSmokeIntegrationTest, InferenceOnSmallFrame) {
    cv::Mat frame(240, 320, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame, "test_cam");
    SUCCEED();
}

TEST_F(FireNSmokeIntegrationTest, InferenceOnLargeFrame) {
    cv::Mat frame(2160, 3840, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame, "test_cam");
    SUCCEED();
}

TEST_F(FireNSmokeIntegrationTest, DetectionResultFieldsAreValid) {
    if (!PathExists(FIRESMOKE_VIDEO)) {
        GTEST_SKIP() << "Fire/Smoke test video not found";
    }
    cv::VideoCapture cap(FIRESMOKE_VIDEO, 0);
    ASSERT_TRUE(cap.isOpened());

    bool foundDetections = false;
    for (int i = 0; i < 300 && !foundDetections; ++i) {
        cv::Mat frame;
        if (!cap.read(frame)) {
            break;
        }
        auto results = detector.RunInference(frame, "test_cam");
        if (results.empty()) {
            continue;
        }
        foundDetections = true;
        for (const auto& obj : results) {
            EXPECT_GE(obj.confidence, 0.0f);
            EXPECT_LE(obj.confidence, 1.0f);
            EXPECT_GE(obj.box.width, 0);
            EXPECT_GE(obj.box.height, 0);
            EXPECT_TRUE(obj.classId == 0 || obj.classId == 2)
                << "Expected fire (0) or smoke (2), got classId=" << obj.classId;
        }
    }
    cap.release();
}

TEST_F(FireNSmokeIntegrationTest, PerformanceBenchmark) {
    if (!PathExists(FIRESMOKE_VIDEO)) {
        GTEST_SKIP() << "Fire/Smoke test video not found";
    }

    double avgMs = 0.0;
    int totalDetections = 0;
    {
        cv::VideoCapture cap(FIRESMOKE_VIDEO, 0);
        if (!cap.isOpened()) {
            totalDetections = -1;
        } else {
            int frames = 0;
            double totalMs = 0.0;
            while (frames < 100) {
                cv::Mat frame;
                if (!cap.read(frame)) {
                    break;
                }
                auto start = std::chrono::steady_clock::now();
                {
                    auto results = detector.RunInference(frame);
                    totalDetections += static_cast<int>(results.size());
                }
                auto end = std::chrono::steady_clock::now();
                totalMs += static_cast<double>(
                               std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()) /
                           1000000.0;
                ++frames;
            }
            cap.release();
            avgMs = frames > 0 ? totalMs / frames : 0.0;
        }
    }

    ASSERT_GE(totalDetections, 0) << "Video could not be opened";
    std::cout << "[FireNSmoke] 100 frames: avg=" << avgMs << "ms/frame, "
              << "detections=" << totalDetections << std::endl;
    EXPECT_LT(avgMs, 200.0) << "Average inference time exceeds 200ms";
}

TEST_F(FireNSmokeIntegrationTest, ThreadSafetyConcurrentInference) {
    cv::Mat frame1(480, 640, CV_8UC3, cv::Scalar(100, 100, 100));
    cv::Mat frame2(480, 640, CV_8UC3, cv::Scalar(200, 200, 200));
    std::vector<CustomDetection> results1;
    std::vector<CustomDetection> results2;

    // An exception in a worker would end the program through std::terminate and
    // lose the whole report: carry it to this thread and let the framework report it.
    std::exception_ptr error1;
    std::exception_ptr error2;
    std::thread t1([&]() {
        try {
            results1 = detector.RunInference(frame1, std::string("cam_1"));
        } catch (...) {
            error1 = std::current_exception();
        }
    });
    std::thread t2([&]() {
        try {
            results2 = detector.RunInference(frame2, std::string("cam_2"));
        } catch (...) {
            error2 = std::current_exception();
        }
    });
    t1.join();
    t2.join();
    if (error1) {
        std::rethrow_exception(error1);
    }
    if (error2) {
        std::rethrow_exception(error2);
    }
    SUCCEED();
}
