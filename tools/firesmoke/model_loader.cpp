#include "model_loader.h"

#include <filesystem>
#include <sstream>

#include "cli_error.h"

#ifndef FIRESMOKE_DEFAULT_MODEL_DIR
#define FIRESMOKE_DEFAULT_MODEL_DIR ""
#endif
#ifndef FIRESMOKE_BUILD_MODEL_DIR
#define FIRESMOKE_BUILD_MODEL_DIR ""
#endif

namespace firesmoke::cli {

namespace fs = std::filesystem;

std::string DefaultModelDir() {
    const std::string installed = FIRESMOKE_DEFAULT_MODEL_DIR;
    std::error_code ec;
    if (!installed.empty() && fs::is_directory(installed, ec)) {
        return installed;
    }
    return FIRESMOKE_BUILD_MODEL_DIR;
}

std::string DefaultModelRule() {
    return std::string("the installed model folder ") + FIRESMOKE_DEFAULT_MODEL_DIR +
           " when it exists, otherwise the build tree's copy " + FIRESMOKE_BUILD_MODEL_DIR;
}

std::vector<std::string> SplitLabelMap(const std::string& labelMap) {
    std::vector<std::string> names;
    if (labelMap.empty()) {
        return names;
    }
    std::stringstream stream(labelMap);
    std::string name;
    while (std::getline(stream, name, ',')) {
        const auto first = name.find_first_not_of(" \t");
        const auto last = name.find_last_not_of(" \t");
        names.push_back(first == std::string::npos ? std::string() : name.substr(first, last - first + 1));
    }
    if (labelMap.back() == ',') {
        names.emplace_back();
    }
    return names;
}

std::string ClassName(int classId, const std::vector<std::string>& classNames) {
    if (classId >= 0 && static_cast<size_t>(classId) < classNames.size() &&
        !classNames[static_cast<size_t>(classId)].empty()) {
        return classNames[static_cast<size_t>(classId)];
    }
    return "class " + std::to_string(classId);
}

LoadedModel::LoadedModel(const std::string& modelDir, float threshold)
    : detector_(std::make_unique<VEKCustomFS>()) {
    std::error_code ec;
    if (modelDir.empty() || !fs::is_directory(modelDir, ec)) {
        throw CliError("model folder not found: '" + modelDir + "' (use --model DIR)");
    }
    std::string labelMap;
    if (!detector_->Initialize(modelDir, threshold, labelMap)) {
        throw CliError("the detector could not load the model folder '" + modelDir +
                       "' (see the message above)");
    }
    detector_->OptimizeModel(true);
    classNames_ = SplitLabelMap(labelMap);
}

LoadedModel::~LoadedModel() {
    detector_->Destroy();
}

}  // namespace firesmoke::cli
