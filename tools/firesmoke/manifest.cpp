#include "manifest.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>

#include "cli_error.h"

namespace firesmoke::cli {

namespace {

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<size_t> FindColumn(const std::vector<std::string>& header, const std::string& name) {
    for (size_t i = 0; i < header.size(); ++i) {
        if (Lower(Trim(header[i])) == name) {
            return i;
        }
    }
    return std::nullopt;
}

bool IsPositiveLabel(const std::string& label, bool& known) {
    known = true;
    if (label == "fire" || label == "smoke" || label == "fire+smoke") {
        return true;
    }
    known = label == "negative";
    return false;
}

}  // namespace

std::vector<std::string> SplitCsvRecord(const std::string& record) {
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < record.size(); ++i) {
        const char c = record[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < record.size() && record[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    if (quoted) {
        throw CliError("unterminated quoted field");
    }
    fields.push_back(field);
    return fields;
}

std::vector<ManifestEntry> ParseManifest(std::istream& in, const std::filesystem::path& baseDir,
                                         const std::string& sourceName) {
    std::vector<ManifestEntry> entries;
    std::optional<size_t> pathColumn;
    std::optional<size_t> labelColumn;
    bool haveHeader = false;
    std::string record;
    int line = 0;
    while (std::getline(in, record)) {
        ++line;
        if (!record.empty() && record.back() == '\r') {
            record.pop_back();
        }
        if (line == 1 && record.rfind("\xEF\xBB\xBF", 0) == 0) {
            record.erase(0, 3);
        }
        if (Trim(record).empty()) {
            continue;
        }
        const std::string where = sourceName + ":" + std::to_string(line) + ": ";
        std::vector<std::string> fields;
        try {
            fields = SplitCsvRecord(record);
        } catch (const CliError& e) {
            throw CliError(where + e.what());
        }
        if (!haveHeader) {
            haveHeader = true;
            pathColumn = FindColumn(fields, "path");
            labelColumn = FindColumn(fields, "label");
            if (!pathColumn || !labelColumn) {
                throw CliError(where + "the header must name the columns 'path' and 'label'");
            }
            continue;
        }
        const size_t needed = std::max(*pathColumn, *labelColumn) + 1;
        if (fields.size() < needed) {
            throw CliError(where + "the row has " + std::to_string(fields.size()) + " fields, " +
                           std::to_string(needed) + " are needed");
        }
        ManifestEntry entry;
        entry.line = line;
        entry.path = Trim(fields[*pathColumn]);
        if (entry.path.empty()) {
            throw CliError(where + "empty path");
        }
        entry.label = Lower(Trim(fields[*labelColumn]));
        bool known = false;
        entry.positive = IsPositiveLabel(entry.label, known);
        if (!known) {
            throw CliError(where + "unknown label '" + Trim(fields[*labelColumn]) +
                           "' (expected fire, smoke, fire+smoke or negative)");
        }
        const std::filesystem::path clip(entry.path);
        entry.resolved = clip.is_absolute() ? clip : baseDir / clip;
        entries.push_back(std::move(entry));
    }
    if (!haveHeader) {
        throw CliError(sourceName + ": empty manifest (a header with path and label is needed)");
    }
    if (entries.empty()) {
        throw CliError(sourceName + ": the manifest lists no clips");
    }
    return entries;
}

std::vector<ManifestEntry> LoadManifest(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw CliError("cannot read the manifest '" + file.string() + "'");
    }
    return ParseManifest(in, file.parent_path(), file.string());
}

}  // namespace firesmoke::cli
