#include "settings/ini_file.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/file_io.h"

namespace pvd {
namespace {

constexpr std::size_t kMaxIniBytes = 4u * 1024u * 1024u;

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// One line of the file, without its line end.
struct Line {
    std::string text;
    std::string end;  // "\n", "\r\n" or "" for a last line without one
};

std::vector<Line> SplitLines(const std::string& text) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        Line l;
        if (nl == std::string::npos) {
            l.text = text.substr(start);
            start = text.size();
        } else {
            l.text = text.substr(start, nl - start);
            l.end.push_back('\n');
            start = nl + 1;
        }
        if (!l.text.empty() && l.text.back() == '\r') {
            l.text.pop_back();
            l.end.insert(l.end.begin(), '\r');
        }
        lines.push_back(std::move(l));
    }
    return lines;
}

// The section a header line opens, or nothing when the line is no header.
std::optional<std::string_view> SectionOf(std::string_view line) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') return std::nullopt;
    auto close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

// The key of a "key=value" line; the value follows the first '='.
std::optional<std::string_view> KeyOf(std::string_view line, std::string_view* value = nullptr) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#' || t.front() == '[') return std::nullopt;
    auto eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    if (value) *value = line.substr(eq + 1);
    return Trim(line.substr(0, eq));
}

std::string ReadText(const std::string& file) {
    std::string text;
    ReadWholeFile(file, kMaxIniBytes, text);
    return text;
}

}  // namespace

std::optional<std::string> FindIniValue(const std::string& text, const std::string& section, const std::string& key) {
    bool inSection = false;
    for (const Line& l : SplitLines(text)) {
        if (auto s = SectionOf(l.text)) {
            inSection = SameText(*s, section);
            continue;
        }
        std::string_view value;
        if (auto k = KeyOf(l.text, &value); inSection && k && SameText(*k, key)) return std::string(value);
    }
    return std::nullopt;
}

std::optional<std::string> ReadIniValue(const std::string& file, const std::string& section, const std::string& key) {
    if (file.empty()) return std::nullopt;
    return FindIniValue(ReadText(file), section, key);
}

bool WriteIniValue(const std::string& file, const std::string& section, const std::string& key, const std::string& value) {
    if (file.empty() || key.empty() || value.find_first_of("\r\n") != std::string::npos ||
        key.find_first_of("\r\n=[") != std::string::npos || section.find_first_of("\r\n]") != std::string::npos)
        return false;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);

    std::vector<Line> lines = SplitLines(ReadText(file));
    // New lines end as the file's lines do: CR LF or LF.
    const std::string eol = !lines.empty() && lines.front().end == "\r\n" ? "\r\n" : "\n";
    const std::string entry = key + "=" + value;

    bool inSection = false;
    std::optional<std::size_t> insertAt;  // after the section's last non-blank line
    bool done = false;
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        if (auto s = SectionOf(lines[i].text)) {
            if (inSection) break;  // the section ended without the key
            inSection = SameText(*s, section);
            if (inSection) insertAt = i + 1;
            continue;
        }
        if (!inSection) continue;
        if (auto k = KeyOf(lines[i].text); k && SameText(*k, key)) {
            lines[i].text = entry;
            done = true;
        } else if (!Trim(lines[i].text).empty()) {
            insertAt = i + 1;
        }
    }
    if (!done) {
        // A last line without a line feed would run into the new lines.
        if (!lines.empty() && lines.back().end.find('\n') == std::string::npos) lines.back().end += "\n";
        if (insertAt) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*insertAt), Line{entry, eol});
        } else {
            if (!lines.empty() && !Trim(lines.back().text).empty()) lines.push_back(Line{"", eol});
            lines.push_back(Line{"[" + section + "]", eol});
            lines.push_back(Line{entry, eol});
        }
    }
    std::string out;
    for (const Line& l : lines) out += l.text + l.end;
    return WriteFileAtomically(file, out);
}

}  // namespace pvd
