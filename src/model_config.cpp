#include "model_config.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

// Whether a real key's range includes its ends.
enum class Ends { Open, Closed };

// Reads one optional real key and checks it against (lo, hi) or [lo, hi].
bool ReadReal(const cv::FileNode& parent, const std::string& key, double lo, double hi, double& value,
              const std::string& file, std::string& error, Ends ends = Ends::Open) {
    const cv::FileNode node = parent[key];
    if (node.empty()) {
        return true;
    }
    if (!node.isReal() && !node.isInt()) {
        error = file + ": key '" + key + "' must be a number";
        return false;
    }
    const double v = static_cast<double>(node);
    const bool inside = ends == Ends::Open ? (v > lo && v < hi) : (v >= lo && v <= hi);
    if (!inside) {
        const bool open = ends == Ends::Open;
        error = file + ": key '" + key + "' = " + std::to_string(v) + " is outside " + (open ? "(" : "[") +
                std::to_string(lo) + ", " + std::to_string(hi) + (open ? ")" : "]");
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

bool ReadVerifier(const cv::FileNode& node, VerifierRules& v, const std::string& file, std::string& error) {
    if (node.empty()) {
        return true;
    }
    if (!node.isMap()) {
        error = file + ": key 'verifier' must be a map";
        return false;
    }
    return ReadReal(node, "fire_flicker_share", 0.0, 1.0, v.fireFlickerShare, file, error, Ends::Closed);
}

bool ReadFloat01(const cv::FileNode& parent, const std::string& key, float& value, const std::string& file,
                 std::string& error) {
    const cv::FileNode node = parent[key];
    if (node.empty() || (!node.isReal() && !node.isInt())) {
        error = file + ": key '" + key + "' is missing or not a number";
        return false;
    }
    const double v = static_cast<double>(node);
    // Checked as the float it is used as: 1e-50 or 0.99999999999 pass as double but
    // round to 0 or 1, and the scorer divides by t and by 1 - t.
    const float f = static_cast<float>(v);
    if (!(v > 0.0 && v < 1.0) || !(f > 0.0f && f < 1.0f)) {
        error = file + ": key '" + key + "' = " + std::to_string(v) + " is outside (0, 1)";
        return false;
    }
    value = f;
    return true;
}

// OpenCV's YAML reader loops forever when the top-level collection ends before the
// end of the file without a new document marker: a first key indented deeper than
// a later line ("---\n  a: 1\nxyz -"), text right after "---" ("---n: 2\ncl -"), or
// anything after "...". Model files are a single map whose keys start in the first
// column, so everything else is refused here, before OpenCV reads the file.
bool CheckLayout(const std::string& file, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = file + ": cannot be read";
        return false;
    }
    bool started = false;  // the "---" line was seen
    bool keyed = false;    // a first-column key was seen
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string where = file + " line " + std::to_string(number) + ": ";
        // OpenCV's reader can loop forever on NUL and other control bytes.
        for (std::size_t i = 0; i < line.size(); ++i) {
            const auto byte = static_cast<unsigned char>(line[i]);
            if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(byte));
                error = where + "control byte " + hex + " in column " + std::to_string(i + 1) +
                        "; the file must be plain text";
                return false;
            }
        }
        const std::size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos || line[first] == '#') {
            continue;  // blank or comment
        }
        if (first > 0 || line[0] == '\t') {
            if (!keyed) {
                error = where + "indented text before the first key";
                return false;
            }
            continue;  // belongs to the key above
        }
        if (line[0] == '%' && !started && !keyed) {
            continue;  // directive, e.g. %YAML:1.0
        }
        if (line.compare(0, 3, "---") == 0) {
            const std::size_t rest = line.find_first_not_of(' ', 3);
            if (started || keyed || (rest != std::string::npos && line[rest] != '#')) {
                error = where + "one document only, started by '---' alone on its line";
                return false;
            }
            started = true;
            continue;
        }
        const auto c = static_cast<unsigned char>(line[0]);
        if (!(std::isalnum(c) || c == '_' || c == '"') || line.find(':') == std::string::npos) {
            error = where + "a line that starts in the first column must start a key ('name: value')";
            return false;
        }
        keyed = true;
    }
    return true;
}

// A file named in model.yml: it must lie in the folder and be a non-empty regular file.
bool ModelFile(const fs::path& dir, const cv::FileNode& parent, const std::string& key, std::string& path,
               const std::string& file, std::string& error) {
    const cv::FileNode node = parent[key];
    if (!node.isString() || static_cast<std::string>(node).empty()) {
        error = file + ": key 'network/" + key + "' must name a file of the model folder";
        return false;
    }
    const fs::path name(static_cast<std::string>(node));
    if (name.has_parent_path() || name.is_absolute()) {
        error = file + ": key 'network/" + key + "' must be a plain file name, not '" + name.string() + "'";
        return false;
    }
    const fs::path full = dir / name;
    std::error_code ec;
    if (!fs::is_regular_file(full, ec)) {
        error = full.string() + ": missing (named by model.yml key 'network/" + key + "')";
        return false;
    }
    if (fs::file_size(full, ec) == 0 || ec) {
        error = full.string() + ": empty file";
        return false;
    }
    path = full.string();
    return true;
}

// The network section of model.yml and the calibration file it names.
bool ReadNetwork(const fs::path& dir, const cv::FileNode& node, NetworkConfig& n, const std::string& file,
                 std::string& error) {
    if (!node.isMap()) {
        error = file + ": key 'network' must be a map naming 'model' and 'calibration'";
        return false;
    }
    if (!ModelFile(dir, node, "model", n.modelFile, file, error) ||
        !ModelFile(dir, node, "calibration", n.calibrationFile, file, error) ||
        !ReadInt(node, "interval", 1, 25, n.interval, file, error) ||
        !ReadReal(node, "smoke_full_motion", 0.01, 1.0, n.smokeFullMotion, file, error, Ends::Closed)) {
        return false;
    }
    if (!node["runtime"].empty()) {
        const cv::FileNode runtime = node["runtime"];
        if (!runtime.isString() ||
            (static_cast<std::string>(runtime) != "direct" && static_cast<std::string>(runtime) != "dnn")) {
            error = file + ": key 'network/runtime' must be \"direct\" or \"dnn\"";
            return false;
        }
        n.runtime = static_cast<std::string>(runtime);
    }
    const std::string cal = n.calibrationFile;
    if (!CheckLayout(cal, error)) {
        return false;
    }
    cv::FileStorage in;
    try {
        in.open(cal, cv::FileStorage::READ | cv::FileStorage::FORMAT_YAML);
    } catch (const std::exception& e) {  // cv::Exception, and std::length_error on some inputs
        error = cal + ": malformed YAML (" + e.what() + ")";
        return false;
    }
    if (!in.isOpened()) {
        error = cal + ": cannot be read as YAML";
        return false;
    }
    const cv::FileNode root = in.root();
    if (!root.isMap()) {
        error = cal + ": must be a map of keys";
        return false;
    }
    if (!root["format_version"].isInt() || static_cast<int>(root["format_version"]) != 1) {
        error = cal + ": key 'format_version' must be 1";
        return false;
    }
    for (const char* key : {"input_width", "input_height", "grid_width", "grid_height"}) {
        if (root[key].empty()) {
            error = cal + ": key '" + key + "' is missing";
            return false;
        }
    }
    if (!ReadInt(root, "input_width", 32, 2048, n.inputWidth, cal, error) ||
        !ReadInt(root, "input_height", 32, 2048, n.inputHeight, cal, error) ||
        !ReadInt(root, "grid_width", 1, 512, n.gridWidth, cal, error) ||
        !ReadInt(root, "grid_height", 1, 512, n.gridHeight, cal, error) ||
        !ReadFloat01(root, "fire_threshold", n.fireThreshold, cal, error) ||
        !ReadFloat01(root, "smoke_threshold", n.smokeThreshold, cal, error)) {
        return false;
    }
    if (n.inputWidth % n.gridWidth != 0 || n.inputHeight % n.gridHeight != 0) {
        error = cal + ": the input size is not a whole number of grid cells";
        return false;
    }
    return true;
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

    if (!CheckLayout(file, error)) {
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
        if (c.scorer != "colour" && c.scorer != "network") {
            error = file + ": scorer '" + c.scorer + "' is unknown (expected 'colour' or 'network')";
            return false;
        }
        if (c.scorer == "network" && !ReadNetwork(dir, root["network"], c.network, file, error)) {
            return false;
        }
        if (!ReadInt(root, "work_width", 64, 1024, c.workWidth, file, error) ||
            !ReadColour(root["colour"], c.colour, file, error) ||
            !ReadVerifier(root["verifier"], c.verifier, file, error)) {
            return false;
        }
    } catch (const std::exception& e) {  // cv::Exception, and std::length_error on some inputs
        error = file + ": malformed YAML (" + e.what() + ")";
        return false;
    }
    config = std::move(c);
    return true;
}

}  // namespace firesmoke
