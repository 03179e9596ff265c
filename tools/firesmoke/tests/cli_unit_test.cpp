// Unit tests of the firesmoke command line's parts that run without a model.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli_error.h"
#include "drawing.h"
#include "eval_report.h"
#include "input_source.h"
#include "manifest.h"
#include "model_loader.h"

namespace fs = std::filesystem;
using namespace firesmoke::cli;

namespace {

std::vector<ManifestEntry> Parse(const std::string& text) {
    std::istringstream in(text);
    return ParseManifest(in, "/data/clips", "m.csv");
}

// ---------------------------------------------------------------- manifest

struct GoodManifest {
    const char* name;
    std::string text;
    std::vector<std::string> paths;
    std::vector<std::string> labels;
};

class ManifestAccepts : public testing::TestWithParam<GoodManifest> {};

TEST_P(ManifestAccepts, RowsInOrder) {
    const GoodManifest& c = GetParam();
    const std::vector<ManifestEntry> entries = Parse(c.text);
    ASSERT_EQ(entries.size(), c.paths.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].path, c.paths[i]) << "row " << i;
        EXPECT_EQ(entries[i].label, c.labels[i]) << "row " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Manifest, ManifestAccepts,
    testing::Values(
        GoodManifest{
            "Plain", "path,label\na.avi,fire\nb.avi,negative\n", {"a.avi", "b.avi"}, {"fire", "negative"}},
        GoodManifest{"ColumnsInAnyOrderAmongOthers",
                     "family,label,fps,path\nroom,smoke,25,a.avi\nroom,fire+smoke,25,b.avi\n",
                     {"a.avi", "b.avi"},
                     {"smoke", "fire+smoke"}},
        GoodManifest{"QuotedFieldsWithCommasAndQuotes",
                     "path,label,note\n\"my, clip.avi\",fire,\"said \"\"hot\"\"\"\n",
                     {"my, clip.avi"},
                     {"fire"}},
        GoodManifest{"CrlfBlankLinesAndByteOrderMark",
                     "\xEF\xBB\xBFpath,label\r\n\r\na.avi,Fire\r\n  \r\nb.avi,negative",
                     {"a.avi", "b.avi"},
                     {"fire", "negative"}},
        GoodManifest{"SpacesAroundFields", "path , label\n a.avi , negative \n", {"a.avi"}, {"negative"}}),
    [](const testing::TestParamInfo<GoodManifest>& info) { return std::string(info.param.name); });

struct BadManifest {
    const char* name;
    std::string text;
    std::string message;  // expected part of the error
};

class ManifestRejects : public testing::TestWithParam<BadManifest> {};

TEST_P(ManifestRejects, NamingTheLine) {
    const BadManifest& c = GetParam();
    try {
        Parse(c.text);
        FAIL() << "accepted";
    } catch (const CliError& e) {
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Manifest, ManifestRejects,
    testing::Values(
        BadManifest{"UnknownLabel", "path,label\na.avi,fire\n\nb.avi,flame\n",
                    "m.csv:4: unknown label 'flame'"},
        BadManifest{"EmptyLabel", "path,label\na.avi,\n", "m.csv:2: unknown label ''"},
        BadManifest{"NoLabelColumn", "path,kind\na.avi,fire\n", "m.csv:1: the header must name"},
        BadManifest{"ShortRow", "label,note,path\nfire,x\n", "m.csv:2: the row has 2 fields, 3 are needed"},
        BadManifest{"EmptyPath", "path,label\n ,fire\n", "m.csv:2: empty path"},
        BadManifest{"UnterminatedQuote", "path,label\n\"a.avi,fire\n", "m.csv:2: unterminated quoted field"},
        BadManifest{"HeaderOnly", "path,label\n\n", "m.csv: the manifest lists no clips"},
        BadManifest{"Empty", "", "m.csv: empty manifest"}),
    [](const testing::TestParamInfo<BadManifest>& info) { return std::string(info.param.name); });

TEST(Manifest, ResolvesRelativePathsFromItsFolderAndKeepsLines) {
    const std::vector<ManifestEntry> entries = Parse("path,label\n\nsub/a.avi,fire\n/abs/b.avi,negative\n");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].resolved, fs::path("/data/clips/sub/a.avi"));
    EXPECT_EQ(entries[1].resolved, fs::path("/abs/b.avi"));
    EXPECT_EQ(entries[0].line, 3);
    EXPECT_TRUE(entries[0].positive);
    EXPECT_FALSE(entries[1].positive);
}

TEST(Manifest, MissingFileIsAnError) {
    EXPECT_THROW(LoadManifest("/nonexistent/manifest.csv"), CliError);
}

// ---------------------------------------------------------------- figures

ClipResult Clip(const std::string& label, bool alarm, double firstS, long frames, double ms,
                const std::string& skip = "") {
    ClipResult c;
    c.path = label + ".avi";
    c.label = label;
    c.positive = label != "negative";
    c.alarm = alarm;
    c.firstAlarmS = firstS;
    c.firstAlarmFrame = alarm ? static_cast<long>(firstS * 25) : -1;
    c.frames = frames;
    c.inferenceMs = ms;
    c.skipReason = skip;
    return c;
}

TEST(EvalReport, FiguresCountOnlyEvaluatedClips) {
    const std::vector<ClipResult> clips = {
        Clip("fire", true, 1.0, 100, 200.0),     Clip("fire", true, 2.0, 100, 200.0),
        Clip("smoke", false, 0.0, 100, 200.0),   Clip("negative", false, 0.0, 50, 100.0),
        Clip("negative", true, 3.0, 50, 100.0),  Clip("negative", false, 0.0, 50, 100.0),
        Clip("negative", false, 0.0, 50, 100.0), Clip("fire", false, 0.0, 0, 0.0, "cannot open"),
    };
    const EvalSummary s = Summarise(clips);
    EXPECT_EQ(s.positives, 3);
    EXPECT_EQ(s.negatives, 4);
    EXPECT_EQ(s.detected, 2);
    EXPECT_EQ(s.falseAlarms, 1);
    EXPECT_EQ(s.skipped, 1);
    EXPECT_DOUBLE_EQ(*s.recall, 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(*s.falseAlarmRate, 0.25);
    EXPECT_DOUBLE_EQ(*s.meanAlarmDelayS, 1.5);  // the false alarm's 3 s is not a delay
    EXPECT_DOUBLE_EQ(*s.meanMsPerFrame, 2.0);
    EXPECT_EQ(SummaryLine(s),
              "recall 2/3 = 0.667, false alarms 1/4 = 0.250, mean delay 1.50 s, 2.0 ms/frame, "
              "1 clip skipped (not counted)");
}

TEST(EvalReport, FiguresWithoutBasisAreNullNotZero) {
    const EvalSummary s =
        Summarise({Clip("negative", false, 0.0, 10, 5.0), Clip("fire", false, 0.0, 0, 0.0, "x")});
    EXPECT_FALSE(s.recall.has_value());
    EXPECT_FALSE(s.meanAlarmDelayS.has_value());
    EXPECT_EQ(SummaryLine(s),
              "recall 0/0 = n/a, false alarms 0/1 = 0.000, mean delay n/a, 0.5 ms/frame, 1 clip skipped (not "
              "counted)");
    const auto json =
        ReportJson(s, {Clip("negative", false, 0.0, 10, 5.0), Clip("fire", false, 0.0, 0, 0.0, "x")});
    EXPECT_TRUE(json["summary"]["recall"].is_null());
    EXPECT_TRUE(json["summary"]["mean_alarm_delay_s"].is_null());
    EXPECT_TRUE(json["videos"][0]["first_alarm_s"].is_null());
    EXPECT_DOUBLE_EQ(json["videos"][0]["mean_ms"].get<double>(), 0.5);
    EXPECT_TRUE(json["videos"][1]["mean_ms"].is_null());
    EXPECT_EQ(json["videos"][1]["skipped"], "x");
    EXPECT_FALSE(json["videos"][0].contains("skipped"));
}

TEST(EvalReport, OutcomeWords) {
    EXPECT_EQ(OutcomeText(Clip("fire", true, 0.53, 10, 1.0)), "ALARM at 0.53 s");
    EXPECT_EQ(OutcomeText(Clip("fire", false, 0.0, 10, 1.0)), "MISSED");
    EXPECT_EQ(OutcomeText(Clip("negative", false, 0.0, 10, 1.0)), "quiet");
    EXPECT_EQ(OutcomeText(Clip("negative", true, 2.1, 10, 1.0)), "FALSE ALARM at 2.10 s");
    EXPECT_EQ(OutcomeText(Clip("fire", false, 0.0, 0, 0.0, "cannot open")), "skipped: cannot open");
}

// ---------------------------------------------------------------- input kinds

class InputKinds : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("firesmoke_inputs_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "pictures");
        fs::create_directories(dir_ / "nothing");
        const cv::Mat image(8, 8, CV_8UC3, cv::Scalar(0, 0, 255));
        ASSERT_TRUE(cv::imwrite((dir_ / "pictures" / "b.png").string(), image));
        ASSERT_TRUE(cv::imwrite((dir_ / "pictures" / "a.jpg").string(), image));
        std::ofstream(dir_ / "pictures" / "notes.txt") << "not an image";
        std::ofstream(dir_ / "nothing" / "notes.txt") << "not an image";
        std::ofstream(dir_ / "clip.mp4") << "not a video either";
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(InputKinds, AreToldApart) {
    EXPECT_EQ(ClassifyInput("0").kind, InputKind::kCamera);
    EXPECT_EQ(ClassifyInput("12").cameraIndex, 12);
    EXPECT_EQ(ClassifyInput("rtsp://host:554/live").kind, InputKind::kStream);
    EXPECT_EQ(ClassifyInput((dir_ / "clip.mp4").string()).kind, InputKind::kVideoFile);

    const InputSpec image = ClassifyInput((dir_ / "pictures" / "b.png").string());
    EXPECT_EQ(image.kind, InputKind::kImageFile);
    ASSERT_EQ(image.images.size(), 1u);

    const InputSpec folder = ClassifyInput((dir_ / "pictures").string());
    EXPECT_EQ(folder.kind, InputKind::kImageFolder);
    ASSERT_EQ(folder.images.size(), 2u);  // notes.txt is left out, order is by name
    EXPECT_EQ(folder.images[0].filename(), "a.jpg");
    EXPECT_EQ(folder.images[1].filename(), "b.png");
}

TEST_F(InputKinds, BadPathsAreErrors) {
    EXPECT_THROW(ClassifyInput((dir_ / "missing.mp4").string()), CliError);
    EXPECT_THROW(ClassifyInput((dir_ / "nothing").string()), CliError);
    // A file that is no video is found, but cannot be opened or decoded.
    std::ostringstream warnings;
    EXPECT_THROW(OpenSource(ClassifyInput((dir_ / "clip.mp4").string()), warnings), CliError);
}

TEST_F(InputKinds, FolderFramesCarryNamesAndNoTime) {
    std::ostringstream warnings;
    auto source = OpenSource(ClassifyInput((dir_ / "pictures").string()), warnings);
    Frame frame;
    ASSERT_TRUE(source->Next(frame));
    EXPECT_EQ(frame.name, "a.jpg");
    EXPECT_FALSE(frame.timeS.has_value());
    ASSERT_TRUE(source->Next(frame));
    EXPECT_EQ(frame.index, 1);
    EXPECT_FALSE(source->Next(frame));
}

// ---------------------------------------------------------------- label map and drawing

TEST(LabelMap, SplitsInIdOrder) {
    const std::vector<std::string> names = SplitLabelMap("fire,background,smoke");
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(ClassName(0, names), "fire");
    EXPECT_EQ(ClassName(2, names), "smoke");
    EXPECT_EQ(ClassName(5, names), "class 5");
    EXPECT_EQ(ClassName(-1, names), "class -1");
    EXPECT_TRUE(SplitLabelMap("").empty());
}

TEST(Drawing, TileDrawsBoxesWhereTheFrameWasScaled) {
    // A 640x360 frame fills a 320x180 tile at half scale: a box at (200, 100) lands at (100, 50).
    const cv::Mat frame(360, 640, CV_8UC3, cv::Scalar(0, 0, 0));
    CustomDetection fire;
    fire.classId = 0;
    fire.confidence = 0.9f;
    fire.box = cv::Rect(200, 100, 100, 100);
    const cv::Mat tile = MakeTile(frame, {fire}, {"fire", "background", "smoke"}, "clip.avi", "fire: ALARM",
                                  Verdict::kCorrect);
    ASSERT_EQ(tile.size(), cv::Size(320, 220));
    const cv::Vec3b onEdge = tile.at<cv::Vec3b>(75, 100);  // left edge, below the tag
    const cv::Scalar colour = ClassColour(0);
    EXPECT_EQ(onEdge, cv::Vec3b(static_cast<uchar>(colour[0]), static_cast<uchar>(colour[1]),
                                static_cast<uchar>(colour[2])));
    EXPECT_EQ(tile.at<cv::Vec3b>(75, 125), cv::Vec3b(0, 0, 0));  // inside the box the frame shows
}

TEST(Drawing, SheetLaysTilesInRows) {
    const std::vector<cv::Mat> tiles(7, cv::Mat(220, 320, CV_8UC3, cv::Scalar(255, 255, 255)));
    const cv::Mat sheet = MakeContactSheet(tiles, 6);
    const int gap = (sheet.cols - 6 * 320) / 7;
    EXPECT_GT(gap, 0);
    EXPECT_EQ(sheet.rows, 2 * 220 + 3 * gap);
    // The seventh tile starts the second row; the eighth place stays empty.
    EXPECT_EQ(sheet.at<cv::Vec3b>(gap + 220 + gap + 10, gap + 10), cv::Vec3b(255, 255, 255));
    EXPECT_NE(sheet.at<cv::Vec3b>(gap + 220 + gap + 10, 2 * gap + 320 + 10), cv::Vec3b(255, 255, 255));
    EXPECT_TRUE(MakeContactSheet({}, 6).empty());
}

}  // namespace
