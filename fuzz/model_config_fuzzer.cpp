// libFuzzer target: the model folder's YAML. The input becomes model.yml of a
// scratch folder (or, with FIRESMOKE_FUZZ_CALIBRATION, the calibration file that
// a fixed network model.yml names) and LoadModelConfig reads the folder.
// Besides crashes and undefined behaviour, a wrong answer is a finding: an accepted
// folder must hold values within their documented ranges, a refused one must say
// which file is at fault.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "model_config.h"

namespace {

namespace fs = std::filesystem;

fs::path g_folder;

void Check(bool ok, const char* what, const std::string& detail) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s (%s)\n", what, detail.c_str());
        std::abort();
    }
}

void WriteFile(const fs::path& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void RemoveFolder() {
    std::error_code ec;
    fs::remove_all(g_folder, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (fs::temp_directory_path() / "firesmoke-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_folder = pattern;
    std::atexit(RemoveFolder);
#ifdef FIRESMOKE_FUZZ_CALIBRATION
    const std::string model =
        "%YAML:1.0\n---\nformat_version: 2\nclasses: [ fire, background, smoke ]\nscorer: network\n"
        "network:\n   model: net.onnx\n   calibration: cal.yml\n";
    std::ofstream(g_folder / "model.yml") << model;
    std::ofstream(g_folder / "net.onnx") << "weights are not read by the parser";
#endif
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef FIRESMOKE_FUZZ_CALIBRATION
    const std::string file = "cal.yml";
#else
    const std::string file = "model.yml";
#endif
    WriteFile(g_folder / file, data, size);

    firesmoke::ModelConfig config;
    std::string error;
    if (!firesmoke::LoadModelConfig(g_folder.string(), config, error)) {
        Check(error.find(file) != std::string::npos, "a refusal names the file", error);
        return 0;
    }
    Check(config.formatVersion == firesmoke::kModelFormatVersion, "format_version", "");
    Check(config.classes.size() >= 3 && config.classes[0] == "fire" && config.classes[2] == "smoke",
          "classes", config.LabelMap());
    for (const auto& name : config.classes) {
        Check(!name.empty() && name.find(',') == std::string::npos, "class names", name);
    }
    Check(config.scorer == "colour" || config.scorer == "network", "scorer", config.scorer);
    Check(config.workWidth >= 64 && config.workWidth <= 1024, "work_width", std::to_string(config.workWidth));
    const auto& c = config.colour;
    Check(c.backgroundRate > 0.0 && c.backgroundRate < 1.0, "background_rate",
          std::to_string(c.backgroundRate));
    Check(c.motionThreshold >= 1 && c.motionThreshold <= 255, "motion_threshold", "");
    Check(c.fireFullRedBlue >= 1 && c.fireFullRedBlue <= 255, "fire_full_red_blue", "");
    if (config.scorer == "network") {
        const auto& n = config.network;
        Check(n.gridWidth >= 1 && n.gridHeight >= 1 && n.inputWidth % n.gridWidth == 0 &&
                  n.inputHeight % n.gridHeight == 0,
              "whole grid cells", std::to_string(n.inputWidth) + "/" + std::to_string(n.gridWidth));
        Check(n.fireThreshold > 0.0f && n.fireThreshold < 1.0f && n.smokeThreshold > 0.0f &&
                  n.smokeThreshold < 1.0f,
              "calibrated thresholds", "");
        Check(fs::path(n.modelFile).parent_path() == g_folder &&
                  fs::path(n.calibrationFile).parent_path() == g_folder,
              "network files inside the folder", n.modelFile + " " + n.calibrationFile);
    }
    return 0;
}
