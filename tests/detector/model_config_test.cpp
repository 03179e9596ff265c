#include "model_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// A scratch model folder per test, removed afterwards.
class ModelFolder : public testing::Test {
protected:
    void SetUp() override {
        dir_ =
            fs::temp_directory_path() /
            ("firesmoke-model-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Write(const std::string& text) const { std::ofstream(dir_ / "model.yml") << text; }

    // Loads the folder; on failure returns the message, on success "".
    std::string Load(firesmoke::ModelConfig& config) const {
        std::string error;
        return firesmoke::LoadModelConfig(dir_.string(), config, error) ? std::string() : error;
    }

    fs::path dir_;
};

const char* const kGood =
    "%YAML:1.0\n---\nformat_version: 2\nclasses: [ fire, background, smoke ]\nscorer: colour\nwork_width: "
    "256\n"
    "colour:\n   fire_min_red: 140\n   background_rate: 0.1\n";

TEST_F(ModelFolder, TheBundledModelLoads) {
    firesmoke::ModelConfig config;
    std::string error;
    ASSERT_TRUE(firesmoke::LoadModelConfig(FIRESMOKE_TEST_MODEL_DIR, config, error)) << error;
    EXPECT_EQ(config.LabelMap(), "fire,background,smoke");
}

TEST_F(ModelFolder, AGoodConfigIsReadWithItsValues) {
    Write(kGood);
    firesmoke::ModelConfig config;
    ASSERT_EQ(Load(config), "");
    EXPECT_EQ(config.workWidth, 256);
    EXPECT_EQ(config.colour.fireMinRed, 140);
    EXPECT_DOUBLE_EQ(config.colour.backgroundRate, 0.1);
    EXPECT_EQ(config.colour.smokeMaxChroma, firesmoke::ColourConfig{}.smokeMaxChroma);  // default kept
}

TEST_F(ModelFolder, BadConfigsFailWithAMessageNamingTheFileAndTheProblem) {
    struct Case {
        const char* name;
        const char* text;  // nullptr: no model.yml at all
        const char* expected;
    };
    const Case cases[] = {
        {"missing", nullptr, "model.yml: missing"},
        {"empty", "", "model.yml"},
        {"garbage", "\x01\x02 not yaml: [ {", "model.yml"},
        {"truncated", "%YAML:1.0\n---\nformat_version: 2\nclasses: [ fire, backg", "model.yml"},
        {"no version", "%YAML:1.0\n---\nclasses: [ fire, background, smoke ]\nscorer: colour\n",
         "format_version"},
        {"wrong version",
         "%YAML:1.0\n---\nformat_version: 1\nclasses: [ fire, background, smoke ]\nscorer: colour\n",
         "format_version 1 is not supported"},
        {"no classes", "%YAML:1.0\n---\nformat_version: 2\nscorer: colour\n", "'classes'"},
        {"fire not first",
         "%YAML:1.0\n---\nformat_version: 2\nclasses: [ smoke, background, fire ]\nscorer: colour\n",
         "'classes'"},
        {"unknown scorer",
         "%YAML:1.0\n---\nformat_version: 2\nclasses: [ fire, background, smoke ]\nscorer: magic\n",
         "scorer 'magic' is unknown"},
        {"width out of range",
         "%YAML:1.0\n---\nformat_version: 2\nclasses: [ fire, background, smoke ]\nscorer: "
         "colour\nwork_width: 5\n",
         "'work_width' = 5 is outside"},
        {"rate out of range",
         "%YAML:1.0\n---\nformat_version: 2\nclasses: [ fire, background, smoke ]\nscorer: colour\n"
         "colour:\n   background_rate: 1.5\n",
         "'background_rate'"},
        {"text where a number belongs",
         "%YAML:1.0\n---\nformat_version: 2\nclasses: [ fire, background, smoke ]\nscorer: colour\n"
         "colour:\n   fire_min_red: lots\n",
         "'fire_min_red' must be an integer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ / "model.yml");
        if (c.text != nullptr) {
            Write(c.text);
        }
        firesmoke::ModelConfig config;
        const std::string error = Load(config);
        EXPECT_NE(error.find(c.expected), std::string::npos) << "message: " << error;
    }
}

TEST_F(ModelFolder, TheOptionalTuningKeysKeepTheirDefaultsAndAreChecked) {
    std::ofstream(dir_ / "net.onnx") << "weights";
    std::ofstream(dir_ / "cal.yml")
        << "%YAML:1.0\n---\nformat_version: 1\ninput_width: 384\n"
           "input_height: 224\ngrid_width: 24\ngrid_height: 14\nfire_threshold: 0.8\n"
           "smoke_threshold: 0.9\n";
    const firesmoke::NetworkConfig network;
    const firesmoke::VerifierRules verifier;
    struct Case {
        const char* lines;  // appended to the network map; a line in column 0 starts a new key
        int interval;       // expected when it loads
        double smokeFullMotion;
        double fireFlickerShare;
        const char* expected;  // part of the message when it does not
    };
    const Case cases[] = {
        {"", 1, network.smokeFullMotion, verifier.fireFlickerShare, nullptr},
        {"   interval: 3\n", 3, network.smokeFullMotion, verifier.fireFlickerShare, nullptr},
        {"   interval: 25\n   smoke_full_motion: 1\n", 25, 1.0, verifier.fireFlickerShare, nullptr},
        {"   smoke_full_motion: 0.05\nverifier:\n   fire_flicker_share: 0\n", 1, 0.05, 0.0, nullptr},
        {"verifier:\n   fire_flicker_share: 1.0\n", 1, network.smokeFullMotion, 1.0, nullptr},
        {"   interval: 0\n", 0, 0, 0, "'interval' = 0 is outside [1, 25]"},
        {"   interval: 26\n", 0, 0, 0, "'interval' = 26 is outside [1, 25]"},
        {"   interval: often\n", 0, 0, 0, "'interval' must be an integer"},
        {"   smoke_full_motion: 0\n", 0, 0, 0,
         "'smoke_full_motion' = 0.000000 is outside [0.010000, 1.000000]"},
        {"   smoke_full_motion: 1.5\n", 0, 0, 0, "'smoke_full_motion' = 1.500000 is outside"},
        {"verifier:\n   fire_flicker_share: -0.1\n", 0, 0, 0, "'fire_flicker_share' = -0.100000 is outside"},
        {"verifier:\n   fire_flicker_share: some\n", 0, 0, 0, "'fire_flicker_share' must be a number"},
        {"verifier: 0.01\n", 0, 0, 0, "key 'verifier' must be a map"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        Write(std::string("%YAML:1.0\n---\nformat_version: 2\nclasses: [ fire, background, smoke ]\n"
                          "scorer: network\nnetwork:\n   model: net.onnx\n   calibration: cal.yml\n") +
              c.lines);
        firesmoke::ModelConfig config;
        const std::string error = Load(config);
        if (c.expected == nullptr) {
            EXPECT_EQ(error, "");
            EXPECT_EQ(config.network.interval, c.interval);
            EXPECT_DOUBLE_EQ(config.network.smokeFullMotion, c.smokeFullMotion);
            EXPECT_DOUBLE_EQ(config.verifier.fireFlickerShare, c.fireFlickerShare);
        } else {
            EXPECT_NE(error.find(c.expected), std::string::npos) << "message: " << error;
        }
    }
}

TEST_F(ModelFolder, TheNetworkRuntimeIsDirectOrDnn) {
    std::ofstream(dir_ / "net.onnx") << "weights";
    std::ofstream(dir_ / "cal.yml") << "%YAML:1.0\n---\nformat_version: 1\ninput_width: 384\n"
                                       "input_height: 224\ngrid_width: 24\ngrid_height: 14\n"
                                       "fire_threshold: 0.8\nsmoke_threshold: 0.9\n";
    const std::pair<const char*, const char*> cases[] = {
        {"", "direct"},
        {"   runtime: direct\n", "direct"},
        {"   runtime: dnn\n", "dnn"},
        {"   runtime: gpu\n", nullptr},
        {"   runtime: 1\n", nullptr},
    };
    for (const auto& [line, runtime] : cases) {
        SCOPED_TRACE(line);
        Write(std::string("%YAML:1.0\n---\nformat_version: 2\nclasses: [ fire, background, smoke ]\n"
                          "scorer: network\nnetwork:\n   model: net.onnx\n   calibration: cal.yml\n") +
              line);
        firesmoke::ModelConfig config;
        const std::string error = Load(config);
        if (runtime != nullptr) {
            EXPECT_EQ(error, "");
            EXPECT_EQ(config.network.runtime, runtime);
        } else {
            EXPECT_NE(error.find("key 'network/runtime' must be \"direct\" or \"dnn\""), std::string::npos)
                << "message: " << error;
        }
    }
}

TEST_F(ModelFolder, PathsThatAreNoModelFolderFail) {
    firesmoke::ModelConfig config;
    std::string error;
    EXPECT_FALSE(firesmoke::LoadModelConfig("", config, error));
    EXPECT_FALSE(firesmoke::LoadModelConfig((dir_ / "absent").string(), config, error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
    std::ofstream(dir_ / "file") << "x";
    EXPECT_FALSE(firesmoke::LoadModelConfig((dir_ / "file").string(), config, error));
    EXPECT_NE(error.find("not a folder"), std::string::npos) << error;
    fs::create_symlink(dir_ / "loop", dir_ / "loop");
    EXPECT_FALSE(firesmoke::LoadModelConfig((dir_ / "loop").string(), config, error));
}

TEST_F(ModelFolder, SpacesAndNonAsciiInThePathAreFine) {
    const fs::path odd = dir_ / "modèle à feu";
    fs::create_directories(odd);
    std::ofstream(odd / "model.yml") << kGood;
    firesmoke::ModelConfig config;
    std::string error;
    EXPECT_TRUE(firesmoke::LoadModelConfig(odd.string(), config, error)) << error;
}

}  // namespace
