// `firesmoke eval`: runs the detector over the clips of a labelled manifest.
#ifndef FIRESMOKE_EVAL_COMMAND_H
#define FIRESMOKE_EVAL_COMMAND_H

#include <ostream>
#include <string>

namespace firesmoke::cli {

struct EvalOptions {
    std::string modelDir;
    std::string manifest;
    std::string jsonPath;   ///< empty: no JSON report
    std::string sheetPath;  ///< empty: no contact sheet
};

/// Evaluates every clip of the manifest, each as its own camera (camera id = the
/// clip's path) through the detector's per-camera RunInference. One line per clip
/// and the summary go to @p out, progress and problems to @p err.
/// @return 0 when the evaluation ran and every requested file was written, 1 otherwise.
int RunEval(const EvalOptions& options, std::ostream& out, std::ostream& err);

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_EVAL_COMMAND_H
