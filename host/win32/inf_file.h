// A driver package's INF file as the device installer reads it: sections of
// lines, each an optional key and comma-separated fields, with comments
// removed, quotes resolved and %strkey% tokens replaced from [Strings].
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host::win32 {

class InfFile {
public:
    struct Line {
        std::string key;                   // before '=' (empty when the line has none)
        std::vector<std::string> fields;   // after '=', or the whole line
    };

    // Reads ANSI text (or UTF-16 with a byte-order mark). Sections of the
    // same name are joined, as the platform does.
    static InfFile parse(std::string_view text);

    bool hasSection(std::string_view name) const;
    // Every section's name, upper-cased, in order.
    std::vector<std::string> sectionNames() const;
    // The lines of a section (empty when it is missing).
    std::vector<Line> section(std::string_view name) const;
    // The first field of the first line of `section` whose key is `key`.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    // Every field of every line of `section` whose key is `key` (a directive
    // such as CopyFiles may be given several times, each with a list).
    std::vector<std::string> values(std::string_view section, std::string_view key) const;

private:
    std::map<std::string, std::vector<Line>> sections_;   // by upper-cased name
};

} // namespace host::win32
