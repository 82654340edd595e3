#include "platform/posix/ini_file.h"

#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/file_io.h"

namespace pvd {
namespace {

constexpr std::size_t kMaxIniBytes = 16u * 1024u * 1024u;
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

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

// Editors that write a byte-order mark put it before the first section.
std::string_view WithoutBom(std::string_view text) {
    if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
    return text;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Every value of a file, by lower-case section and key; the first wins.
using IniValues = std::unordered_map<std::string, std::string>;

std::string ValueKey(std::string_view section, std::string_view key) { return Lower(section) + '\n' + Lower(key); }

IniValues ParseIni(std::string_view text) {
    IniValues values;
    std::string section;
    bool haveSection = false;
    for (const Line& l : SplitLines(std::string(WithoutBom(text)))) {
        if (auto s = SectionOf(l.text)) {
            section = std::string(*s);
            haveSection = true;
            continue;
        }
        std::string_view value;
        if (auto k = KeyOf(l.text, &value); haveSection && k) values.try_emplace(ValueKey(section, *k), value);
    }
    return values;
}

// The parsed values of each file, kept while the file's identity stays the
// same: a launch looks up a dozen settings, and a large settings file is
// read and parsed once, not at every lookup.
struct CachedIni {
    FileIdentity identity;
    std::shared_ptr<const IniValues> values;
};

std::shared_ptr<const IniValues> ValuesOf(const std::string& file) {
    static std::map<std::string, CachedIni> cache;
    const FileIdentity now = StatFileIdentity(file);
    if (auto it = cache.find(file); it != cache.end()) {
        if (now.exists && it->second.identity == now) return it->second.values;
        cache.erase(it);
    }
    StoreRead read = ReadStoreFile(file, kMaxIniBytes);
    // A file that did not read cleanly holds no values: every read gives its default.
    auto values = std::make_shared<const IniValues>(read.clean ? ParseIni(read.bytes) : IniValues{});
    if (read.clean && IdentityIsSettled(read.identity)) cache[file] = CachedIni{read.identity, values};
    return values;
}

// Creates the missing folders of a path, private to the user.
bool CreatePrivateFolders(const std::filesystem::path& folder) {
    std::error_code ec;
    if (folder.empty() || std::filesystem::is_directory(folder, ec)) return true;
    if (!CreatePrivateFolders(folder.parent_path())) return false;
    if (std::filesystem::create_directory(folder, ec))
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
    return std::filesystem::is_directory(folder, ec);
}

}  // namespace

std::optional<std::string> FindIniValue(const std::string& text, const std::string& section, const std::string& key) {
    bool inSection = false;
    for (const Line& l : SplitLines(std::string(WithoutBom(text)))) {
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
    const auto values = ValuesOf(file);
    auto it = values->find(ValueKey(section, key));
    if (it == values->end()) return std::nullopt;
    return it->second;
}

bool WriteIniValue(const std::string& file, const std::string& section, const std::string& key, const std::string& value,
                   std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    if (file.empty()) return fail("No settings file");
    if (key.empty() || value.find_first_of("\r\n") != std::string::npos || key.find_first_of("\r\n=[") != std::string::npos ||
        section.find_first_of("\r\n]") != std::string::npos)
        return fail("The value cannot be stored in a settings file");
    // A store that did not read completely is never written: what could not
    // be read would be lost.
    StoreRead read = ReadStoreFile(file, kMaxIniBytes);
    if (!read.clean) return fail(read.error);
    if (!CreatePrivateFolders(std::filesystem::path(file).parent_path()))
        return fail("Cannot create the folder of " + file);
    const bool bom = read.bytes.starts_with(kUtf8Bom);
    std::vector<Line> lines = SplitLines(std::string(WithoutBom(read.bytes)));
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
    std::string out = bom ? std::string(kUtf8Bom) : std::string();
    for (const Line& l : lines) out += l.text + l.end;
    return WriteFileAtomically(file, out, error);
}

}  // namespace pvd
