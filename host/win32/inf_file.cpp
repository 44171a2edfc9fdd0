// INF syntax: ';' starts a comment outside quotes, a line ending in '\'
// continues on the next, "..." quotes a field ("" is a quote inside), %%
// is a percent sign and %name% the value of name in [Strings] (a token
// without a string, such as the directory ID %12%, is kept as written).

#include "inf_file.h"

#include "system.h"

namespace host::win32 {

namespace {

struct RawLine {
    std::string text;
};

std::string trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(b, e - b + 1));
}

std::string decode(std::string_view text) {
    if (text.size() >= 2 && uint8_t(text[0]) == 0xFF && uint8_t(text[1]) == 0xFE) {
        std::u16string wide;
        for (size_t i = 2; i + 1 < text.size(); i += 2)
            wide += char16_t(uint8_t(text[i]) | uint8_t(text[i + 1]) << 8);
        return utf16ToAnsi(wide);
    }
    return std::string(text);
}

// Splits a logical line into its key and fields. Quotes are resolved here;
// `quoted` tells per field which characters came from inside quotes, so
// that %name% is replaced only outside them.
struct Token {
    std::string text;
    std::vector<bool> quoted;
};

void splitLine(const std::string& line, std::optional<Token>& key, std::vector<Token>& fields) {
    Token cur;
    bool inQuotes = false;
    bool sawEquals = false;
    auto finish = [&](std::vector<Token>& into) {
        // Blanks around a field go; those inside quotes stay.
        size_t b = 0, e = cur.text.size();
        while (b < e && !cur.quoted[b] && (cur.text[b] == ' ' || cur.text[b] == '\t'))
            ++b;
        while (e > b && !cur.quoted[e - 1] && (cur.text[e - 1] == ' ' || cur.text[e - 1] == '\t'))
            --e;
        Token t;
        t.text = cur.text.substr(b, e - b);
        t.quoted.assign(cur.quoted.begin() + b, cur.quoted.begin() + e);
        into.push_back(t);
        cur = Token{};
    };
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            if (inQuotes && i + 1 < line.size() && line[i + 1] == '"') {
                cur.text += '"';
                cur.quoted.push_back(true);
                ++i;
            } else {
                inQuotes = !inQuotes;
            }
        } else if (!inQuotes && c == '=' && !sawEquals) {
            std::vector<Token> k;
            finish(k);
            key = k[0];
            sawEquals = true;
        } else if (!inQuotes && c == ',') {
            finish(fields);
        } else {
            cur.text += c;
            cur.quoted.push_back(inQuotes);
        }
    }
    finish(fields);
    if (fields.size() == 1 && fields[0].text.empty() && sawEquals)
        fields.clear();
}

std::string substitute(const Token& t, const std::map<std::string, std::string>& strings) {
    std::string out;
    for (size_t i = 0; i < t.text.size(); ++i) {
        if (t.text[i] != '%' || t.quoted[i]) {
            out += t.text[i];
            continue;
        }
        size_t end = t.text.find('%', i + 1);
        if (end == std::string::npos) {
            out += t.text.substr(i);
            break;
        }
        std::string name = t.text.substr(i + 1, end - i - 1);
        if (name.empty()) {
            out += '%';
        } else if (auto it = strings.find(upper(name)); it != strings.end()) {
            out += it->second;
        } else {
            out += t.text.substr(i, end - i + 1);
        }
        i = end;
    }
    return out;
}

} // namespace

InfFile InfFile::parse(std::string_view bytes) {
    std::string text = decode(bytes);
    // Logical lines of each section, comments and continuations resolved.
    std::vector<std::pair<std::string, std::vector<std::string>>> raw;
    std::string pending;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() + 1 : nl + 1;
        bool inQuotes = false;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"')
                inQuotes = !inQuotes;
            else if (line[i] == ';' && !inQuotes) {
                line.resize(i);
                break;
            }
        }
        std::string t = trim(line);
        if (!t.empty() && t.back() == '\\') {
            pending += t.substr(0, t.size() - 1);
            continue;
        }
        t = pending + t;
        pending.clear();
        if (t.empty())
            continue;
        if (t[0] == '[') {
            size_t close = t.find(']');
            raw.push_back({trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1)), {}});
        } else if (!raw.empty()) {
            raw.back().second.push_back(t);
        }
    }

    std::map<std::string, std::string> strings;
    for (auto& [name, lines] : raw) {
        if (!equalNoCase(name, "Strings"))
            continue;
        for (auto& l : lines) {
            std::optional<Token> key;
            std::vector<Token> fields;
            splitLine(l, key, fields);
            if (key && !fields.empty())
                strings[upper(key->text)] = fields[0].text;
        }
    }

    InfFile inf;
    for (auto& [name, lines] : raw) {
        auto& section = inf.sections_[upper(name)];
        for (auto& l : lines) {
            std::optional<Token> key;
            std::vector<Token> fields;
            splitLine(l, key, fields);
            Line line;
            if (key)
                line.key = substitute(*key, strings);
            for (auto& f : fields)
                line.fields.push_back(substitute(f, strings));
            section.push_back(line);
        }
    }
    return inf;
}

bool InfFile::hasSection(std::string_view name) const {
    return sections_.count(upper(name)) != 0;
}

std::vector<std::string> InfFile::sectionNames() const {
    std::vector<std::string> names;
    for (auto& [name, lines] : sections_)
        names.push_back(name);
    return names;
}

std::vector<InfFile::Line> InfFile::section(std::string_view name) const {
    auto it = sections_.find(upper(name));
    return it == sections_.end() ? std::vector<Line>{} : it->second;
}

std::optional<std::string> InfFile::value(std::string_view section, std::string_view key) const {
    for (auto& line : this->section(section))
        if (equalNoCase(line.key, key))
            return line.fields.empty() ? std::string() : line.fields[0];
    return std::nullopt;
}

std::vector<std::string> InfFile::values(std::string_view section, std::string_view key) const {
    std::vector<std::string> out;
    for (auto& line : this->section(section))
        if (equalNoCase(line.key, key))
            out.insert(out.end(), line.fields.begin(), line.fields.end());
    return out;
}

} // namespace host::win32
