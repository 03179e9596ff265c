#include "model_config.h"

#include <filesystem>
#include <opencv2/core.hpp>
#include <system_error>

namespace firesmoke {
namespace {

namespace fs = std::filesystem;

// Reads one integer key and checks its range; names the file and key on failure.
bool ReadInt(const cv::FileNode& parent, const std::string& key, int lo, int hi, int& value,
             const std::string& file, std::string& error) {
    const cv::FileNode node = parent[key];
    if (node.empty()) {
        return true;  // optional: keep the default
    }
    if (!node.isInt()) {
        error = file + ": key '" + key + "' must be an integer";
        return false;
    }
    const int v = static_cast<int>(node);
    if (v < lo || v > hi) {
        error = file + ": key '" + key + "' = " + std::to_string(v) + " is outside [" + std::to_string(lo) +
                ", " + std::to_string(hi) + "]";
        return false;
    }
    value = v;
    return true;
}

bool ReadReal(const cv::FileNode& parent, const std::string& key, double lo, double hi, double& value,
              const std::string& file, std::string& error) {
    const cv::FileNode node = parent[key];
    if (node.empty()) {
        return true;
    }
    if (!node.isReal() && !node.isInt()) {
        error = file + ": key '" + key + "' must be a number";
        return false;
    }
    const double v = static_cast<double>(node);
    if (!(v > lo && v < hi)) {
        error = file + ": key '" + key + "' = " + std::to_string(v) + " is outside (" + std::to_string(lo) +
                ", " + std::to_string(hi) + ")";
        return false;
    }
    value = v;
    return true;
}

bool ReadColour(const cv::FileNode& node, ColourConfig& c, const std::string& file, std::string& error) {
    if (node.empty()) {
        return true;
    }
    if (!node.isMap()) {
        error = file + ": key 'colour' must be a map";
        return false;
    }
    return ReadInt(node, "fire_min_red", 0, 255, c.fireMinRed, file, error) &&
           ReadInt(node, "fire_min_red_blue", 0, 255, c.fireMinRedBlue, file, error) &&
           ReadInt(node, "fire_full_red_blue", 1, 255, c.fireFullRedBlue, file, error) &&
           ReadInt(node, "smoke_max_chroma", 0, 255, c.smokeMaxChroma, file, error) &&
           ReadInt(node, "smoke_min_value", 0, 255, c.smokeMinValue, file, error) &&
           ReadInt(node, "smoke_max_value", 0, 255, c.smokeMaxValue, file, error) &&
           ReadInt(node, "motion_threshold", 1, 255, c.motionThreshold, file, error) &&
           ReadReal(node, "background_rate", 0.0, 1.0, c.backgroundRate, file, error);
}

}  // namespace

std::string ModelConfig::LabelMap() const {
    std::string map;
    for (std::size_t i = 0; i < classes.size(); ++i) {
        if (i > 0) {
            map += ',';
        }
        map += classes[i];
    }
    return map;
}

bool LoadModelConfig(const std::string& folder, ModelConfig& config, std::string& error) {
    std::error_code ec;
    const fs::path dir(folder);
    if (folder.empty()) {
        error = "model folder: the path is empty";
        return false;
    }
    const fs::file_status dirStatus = fs::status(dir, ec);
    if (ec || !fs::exists(dirStatus)) {
        error = folder + ": model folder does not exist" + (ec ? " (" + ec.message() + ")" : std::string());
        return false;
    }
    if (!fs::is_directory(dirStatus)) {
        error = folder + ": model path is not a folder";
        return false;
    }
    const fs::path yml = dir / "model.yml";
    const std::string file = yml.string();
    if (!fs::is_regular_file(yml, ec)) {
        error = file + ": missing (every model folder needs model.yml)";
        return false;
    }

    ModelConfig c;
    c.folder = folder;
    try {
        cv::FileStorage fsIn(file, cv::FileStorage::READ | cv::FileStorage::FORMAT_YAML);
        if (!fsIn.isOpened()) {
            error = file + ": cannot be read as YAML";
            return false;
        }
        const cv::FileNode root = fsIn.root();
        const cv::FileNode version = root["format_version"];
        if (version.empty() || !version.isInt()) {
            error = file + ": key 'format_version' is missing or not an integer";
            return false;
        }
        c.formatVersion = static_cast<int>(version);
        if (c.formatVersion != kModelFormatVersion) {
            error = file + ": format_version " + std::to_string(c.formatVersion) +
                    " is not supported (expected " + std::to_string(kModelFormatVersion) + ")";
            return false;
        }
        if (root["name"].isString()) {
            c.name = static_cast<std::string>(root["name"]);
        }
        const cv::FileNode classes = root["classes"];
        if (!classes.isSeq() || classes.size() == 0) {
            error = file + ": key 'classes' must be a non-empty list of class names";
            return false;
        }
        for (const auto& n : classes) {
            if (!n.isString() || static_cast<std::string>(n).empty()) {
                error = file + ": key 'classes' holds an entry that is not a non-empty name";
                return false;
            }
            const std::string name = static_cast<std::string>(n);
            if (name.find(',') != std::string::npos) {
                error = file + ": class name '" + name + "' contains a comma";
                return false;
            }
            c.classes.push_back(name);
        }
        if (c.classes.size() < 3 || c.classes[0] != "fire" || c.classes[2] != "smoke") {
            error = file + ": key 'classes' must name id 0 'fire' and id 2 'smoke'";
            return false;
        }
        const cv::FileNode scorer = root["scorer"];
        if (!scorer.isString()) {
            error = file + ": key 'scorer' is missing or not a text";
            return false;
        }
        c.scorer = static_cast<std::string>(scorer);
        if (c.scorer != "colour") {
            error = file + ": scorer '" + c.scorer + "' is unknown (expected 'colour')";
            return false;
        }
        if (!ReadInt(root, "work_width", 64, 1024, c.workWidth, file, error) ||
            !ReadColour(root["colour"], c.colour, file, error)) {
            return false;
        }
    } catch (const cv::Exception& e) {
        error = file + ": malformed YAML (" + e.msg + ")";
        return false;
    }
    config = std::move(c);
    return true;
}

}  // namespace firesmoke
