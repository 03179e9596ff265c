// Early checks of output paths, so a long run does not end on an unwritable file.
#ifndef FIRESMOKE_OUTPUT_PATHS_H
#define FIRESMOKE_OUTPUT_PATHS_H

#include <string>

namespace firesmoke::cli {

/// Throws CliError, naming @p option, when the folder that would hold @p path does
/// not exist or @p path is itself a folder.
void CheckOutputFile(const std::string& path, const std::string& option);

/// CheckOutputFile, and the extension must name an image format OpenCV writes (.png).
void CheckOutputImage(const std::string& path, const std::string& option);

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_OUTPUT_PATHS_H
