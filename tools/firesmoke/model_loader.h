// Finding the model folder and loading the detector from it.
#ifndef FIRESMOKE_MODEL_LOADER_H
#define FIRESMOKE_MODEL_LOADER_H

#include <memory>
#include <string>
#include <vector>

#include "VEKCustomFS.h"

namespace firesmoke::cli {

/// The installed model folder when it exists, otherwise the build tree's copy.
std::string DefaultModelDir();

/// One sentence that states the rule of DefaultModelDir with both paths, for --help.
std::string DefaultModelRule();

/// Class names in id order from a label map such as "fire,background,smoke".
std::vector<std::string> SplitLabelMap(const std::string& labelMap);

/// Name of @p classId in @p classNames, or "class N" when the map has no such id.
std::string ClassName(int classId, const std::vector<std::string>& classNames);

/// An initialised and optimised detector with the class names its label map gave.
class LoadedModel {
public:
    /// Throws CliError when @p modelDir is not a folder or the detector refuses it.
    LoadedModel(const std::string& modelDir, float threshold);
    ~LoadedModel();
    LoadedModel(const LoadedModel&) = delete;
    LoadedModel& operator=(const LoadedModel&) = delete;

    VEKCustomFS& Detector() { return *detector_; }
    const std::vector<std::string>& ClassNames() const { return classNames_; }

private:
    std::unique_ptr<VEKCustomFS> detector_;
    std::vector<std::string> classNames_;
};

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_MODEL_LOADER_H
