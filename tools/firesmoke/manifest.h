// The clip list of `firesmoke eval`: a CSV file with a header row and at least
// the columns path and label, in any order among other columns.
#ifndef FIRESMOKE_MANIFEST_H
#define FIRESMOKE_MANIFEST_H

#include <filesystem>
#include <istream>
#include <string>
#include <vector>

namespace firesmoke::cli {

/// One clip of the manifest.
struct ManifestEntry {
    std::string path;                ///< as written in the manifest
    std::filesystem::path resolved;  ///< relative paths taken from the manifest's folder
    std::string label;               ///< fire, smoke, fire+smoke or negative (lower case)
    bool positive = false;           ///< any label but negative
    int line = 0;                    ///< 1-based line of the row in the file
};

/// Splits one CSV record. Fields may be quoted; inside quotes a comma is data and
/// "" is one quote. Throws CliError on an unterminated quote.
std::vector<std::string> SplitCsvRecord(const std::string& record);

/// Parses a manifest read from @p in. @p sourceName prefixes every error message
/// ("name:LINE: ..."); @p baseDir anchors relative paths. Blank lines are skipped,
/// CRLF line ends and a UTF-8 byte-order mark are accepted. Throws CliError on a
/// missing column, a short row, an empty path, an unknown label or no rows at all.
std::vector<ManifestEntry> ParseManifest(std::istream& in, const std::filesystem::path& baseDir,
                                         const std::string& sourceName);

/// Reads and parses the manifest file @p file. Throws CliError when it cannot be read.
std::vector<ManifestEntry> LoadManifest(const std::filesystem::path& file);

}  // namespace firesmoke::cli

#endif  // FIRESMOKE_MANIFEST_H
