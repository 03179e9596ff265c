// Malformed YAML in the model folder found by fuzzing: OpenCV's reader loops
// forever on some layouts and throws std::length_error on others, and a broken
// calibration file was reported as a fault of model.yml. Every case must end,
// quickly, with false and a message naming the file at fault.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "model_config.h"

namespace {

namespace fs = std::filesystem;

class ModelYamlFaults : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("firesmoke-yaml-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        // The network section needs its two files; the parser does not read the weights.
        std::ofstream(dir_ / "net.onnx") << "weights";
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Write(const char* name, const std::string& text) const {
        std::ofstream(dir_ / name, std::ios::binary | std::ios::trunc) << text;
    }

    // LoadModelConfig on the folder, which must answer within the deadline: a
    // parser stuck in a loop cannot be interrupted, so the process reports it and
    // exits instead of hanging the test run.
    std::string Load(bool& loaded) const {
        auto call = std::async(std::launch::async, [this] {
            firesmoke::ModelConfig config;
            std::string error;
            const bool ok = firesmoke::LoadModelConfig(dir_.string(), config, error);
            return std::make_pair(ok, error);
        });
        if (call.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            std::fprintf(stderr, "LoadModelConfig did not return within 30 s (a parser loop)\n");
            std::fflush(stderr);
            std::_Exit(EXIT_FAILURE);
        }
        const auto [ok, error] = call.get();
        loaded = ok;
        return error;
    }

    fs::path dir_;
};

const char* const kNetworkModel =
    "%YAML:1.0\n---\nformat_version: 2\nclasses: [ fire, background, smoke ]\nscorer: network\n"
    "network:\n   model: net.onnx\n   calibration: cal.yml\n";

// A model.yml that fuzzing produced: list items full of NUL bytes, on which
// OpenCV's reader never returns.
const std::string kControlBytes(
    "%YAML:1.\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\nclasses:\n  -\xa0"
    "fi\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00re\n  - format_version:\x00"
    "\x00%Y\xaf"
    "A\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00s\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xf7\x00\x1a\n",
    137);

const char* const kCalibration =
    "%YAML:1.0\n---\nformat_version: 1\ninput_width: 384\ninput_height: 224\ngrid_width: 24\n"
    "grid_height: 14\nfire_threshold: 0.9\nsmoke_threshold: 0.7\n";

TEST_F(ModelYamlFaults, MalformedFilesEndInARefusalThatNamesTheFile) {
    struct Case {
        const char* name;
        std::string model;        // model.yml
        std::string calibration;  // cal.yml, when model.yml names it; empty: a valid one
        const char* file;         // what the message must hold: the file at fault, or more
    };
    const Case cases[] = {
        {"text right after ---", "%YAML:1.0\n---n:2\ncl -\n", "", "model.yml"},
        {"first key indented deeper than a later line", "%YAML:1.0\n---\n  a: 1\nxyz -\n", "", "model.yml"},
        {"text after the end marker", "%YAML:1.0\n---\nformat_version: 2\n...\n-\n", "", "model.yml"},
        {"a second document", "%YAML:1.0\n---\nformat_version: 2\n---\nformat_version: 2\n", "", "model.yml"},
        {"empty key in a nested map (std::length_error)",
         "%YAML:1.0\n---\nformat_version: 2\ncolour:\n   fire_min_red: 150\n   :\n", "", "model.yml"},
        {"indented empty key (std::length_error)", "%YAML:1.\n   e:0\n   :", "", "model.yml"},
        {"NUL bytes in list items (parser loop)", kControlBytes, "", "model.yml line 1: control byte 0x00"},
        {"calibration: a tab is fine, a form feed is not", kNetworkModel,
         "%YAML:1.0\n---\nformat_version:\t1\n\f\n", "cal.yml line 4: control byte 0x0C in column 1"},
        {"calibration: text right after ---", kNetworkModel, "%YAML:1.0\n---n:2\ncl -\n", "cal.yml"},
        {"calibration: a sequence, not a map", kNetworkModel, "%YAML:1.0\n-%YAML:-1", "cal.yml"},
        {"calibration: no keys", kNetworkModel, "%YAML:1.0\n---\n", "cal.yml"},
        {"calibration: empty nested key (std::length_error)", kNetworkModel,
         "%YAML:1.0\n---\nformat_version: 1\ngrid:\n   a: 1\n   :\n", "cal.yml"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Write("model.yml", c.model);
        Write("cal.yml", c.calibration.empty() ? kCalibration : c.calibration);
        bool loaded = true;
        const std::string error = Load(loaded);
        EXPECT_FALSE(loaded);
        EXPECT_NE(error.find(c.file), std::string::npos) << "message: " << error;
    }
}

TEST_F(ModelYamlFaults, CalibratedThresholdsMustStayInsideTheOpenIntervalAsFloats) {
    // The thresholds are checked as read (double) but used as float, where the
    // network scorer divides by t and by 1 - t: a value that rounds to 0 or 1 in
    // float would give infinite or NaN scores.
    const char* const values[] = {"7.35e-81", "1e-46", "0.99999999999", "1.0", "0", "-0.5", ".nan"};
    Write("model.yml", kNetworkModel);
    for (const char* value : values) {
        SCOPED_TRACE(value);
        std::string cal = kCalibration;
        const std::string key = "smoke_threshold: 0.7";
        cal.replace(cal.find(key), key.size(), std::string("smoke_threshold: ") + value);
        Write("cal.yml", cal);
        bool loaded = true;
        const std::string error = Load(loaded);
        EXPECT_FALSE(loaded);
        EXPECT_NE(error.find("smoke_threshold"), std::string::npos) << error;
    }
    // Small and large values that float represents are fine.
    for (const char* value : {"1e-6", "0.999"}) {
        SCOPED_TRACE(value);
        std::string cal = kCalibration;
        const std::string key = "smoke_threshold: 0.7";
        cal.replace(cal.find(key), key.size(), std::string("smoke_threshold: ") + value);
        Write("cal.yml", cal);
        bool loaded = false;
        const std::string error = Load(loaded);
        EXPECT_TRUE(loaded) << error;
    }
}

TEST_F(ModelYamlFaults, OrdinaryLayoutsStillLoad) {
    // Comments, blank lines, a flow list continued on an indented line, Windows line
    // endings, a quoted key: what a person editing model.yml may write.
    const std::string model =
        "%YAML:1.0\n# comment\n---\n\nformat_version: 2\n  # indented comment\n"
        "classes: [ fire, background,\n   smoke ]\nscorer: network\n\"work_width\": 256\n"
        "network:\n   model: net.onnx\n   calibration: cal.yml\n";
    std::string crlf;
    for (const char ch : std::string(kCalibration)) {
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    }
    Write("model.yml", model);
    Write("cal.yml", crlf);
    bool loaded = false;
    const std::string error = Load(loaded);
    EXPECT_TRUE(loaded) << error;
}

}  // namespace
