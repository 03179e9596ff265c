#include "output_paths.h"

#include <filesystem>
#include <opencv2/imgcodecs.hpp>

#include "cli_error.h"

namespace firesmoke::cli {

namespace fs = std::filesystem;

void CheckOutputFile(const std::string& path, const std::string& option) {
    const fs::path file(path);
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        throw CliError(option + " " + path + ": the folder " + folder.string() + " does not exist");
    }
    if (fs::is_directory(file, ec)) {
        throw CliError(option + " " + path + ": is a folder, a file name is needed");
    }
}

void CheckOutputImage(const std::string& path, const std::string& option) {
    CheckOutputFile(path, option);
    bool writable = false;
    try {
        writable = cv::haveImageWriter(path);
    } catch (const cv::Exception&) {
        writable = false;
    }
    if (!writable) {
        throw CliError(option + " " + path + ": not an image file name OpenCV can write (use .png)");
    }
}

}  // namespace firesmoke::cli
