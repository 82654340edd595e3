#include "settings/registry.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "platform/environment.h"
#include "platform/file_system.h"

namespace pvd {
namespace {

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

RegistryResult ConvertRegistryValue(const RegistryValue& value, const RegistryResult& fallback) {
    const auto& bytes = value.bytes;
    switch (value.type) {
    case 1:
    case 2: {
        if (bytes.empty()) return fallback;  // a zero-size text value cannot be converted
        // The text ends at its first NUL, as the platform's own string reads
        // end it: what follows a NUL must never reach a path. Data stored
        // without its closing NUL keeps its last character.
        auto nul = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
        return std::string(bytes.begin(), nul);
    }
    case 3:
        return bytes;
    case 4:
        if (bytes.size() < 4) return fallback;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
                                         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24));
    case 7: {
        if (bytes.size() < 2) return fallback;
        // Only the closing pair of NULs is dropped, and only when it is there.
        auto end = bytes.end();
        for (int i = 0; i < 2 && end[-1] == 0; ++i) --end;
        return std::string(bytes.begin(), end);
    }
    default:
        return fallback;
    }
}

RegistryResult ReadRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName,
                                 const RegistryResult& fallback) {
    const std::size_t views = RegistryViews(root).size();
    RegistryValue value;
    for (std::size_t view = 0; view < views; ++view)
        if (ReadRawRegistryValue(root, keyPath, valueName, value, view)) return ConvertRegistryValue(value, fallback);
    return fallback;
}

bool RegistryTextOf(const RegistryValue& value, std::string& text) {
    if (value.type != 1 && value.type != 2 && value.type != 7) return false;
    auto end = value.bytes.end();
    while (end != value.bytes.begin() && end[-1] == 0) --end;
    text.assign(value.bytes.begin(), end);
    return true;
}

std::string PathTextProblem(const std::string& text) {
    // A Windows call ends the name at the NUL: the path would name another
    // file than the value says, such as the dictation root itself.
    return text.find('\0') == std::string::npos ? std::string() : "it holds a NUL before its end, so it cannot be a path";
}

bool IsFullPath(const std::string& path) {
    const std::string root = PathRoot(path);
    // On Windows "C:" and "\\" alone are relative to a current folder or drive.
    return kPathSeparator == '/' ? !root.empty() : root.size() >= 3;
}

std::string RegistryValueName(RegistryRoot root, const std::string& keyPath, const std::string& valueName, std::size_t view) {
    const std::vector<std::string> views = RegistryViews(root);
    std::string name = (root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") + keyPath + " " + valueName;
    if (view < views.size() && !views[view].empty()) name += ", " + views[view];
    return name;
}

std::string ReadRegistryPath(RegistryRoot root, const std::string& keyPath, const std::string& valueName, std::string* where) {
    std::string text;
    auto judge = [&](const RegistryValue& value) {
        if (!RegistryTextOf(value, text)) return RegistryJudgement{false, "it is not text (registry type " + std::to_string(value.type) + ")"};
        if (text.empty()) return RegistryJudgement{};  // empty reads as missing
        const std::string problem = PathTextProblem(text);
        return RegistryJudgement{problem.empty(), problem};
    };
    RegistryValue value;
    if (!ReadUsableRegistryValue(root, keyPath, valueName, judge, value, where)) return {};
    return text;
}

namespace {

struct Notes {
    LogSink* log = nullptr;
    std::map<std::string, std::string> said;  // value -> the reason last noted
    std::vector<std::string> waiting;         // noted while no log was set
};

Notes& TheNotes() {
    static Notes notes;
    return notes;
}

}  // namespace

void SetSettingsLog(LogSink* log) {
    Notes& n = TheNotes();
    n.log = log;
    if (!log) return;
    for (const std::string& line : n.waiting) log->WriteLog(line);
    n.waiting.clear();
}

void ReleaseSettingsLog(LogSink* log) {
    if (TheNotes().log == log) TheNotes().log = nullptr;
}

void NoteUnusableValue(const std::string& what, const std::string& why) {
    Notes& n = TheNotes();
    auto [it, added] = n.said.try_emplace(what, why);
    if (!added && it->second == why) return;
    it->second = why;
    const std::string line = "Ignored " + what + ": " + why;
    if (n.log) {
        n.log->WriteLog(line);
    } else if (n.waiting.size() < 64) {  // a few values, each noted once
        n.waiting.push_back(line);
    }
}

void NoteUsableValue(const std::string& what) { TheNotes().said.erase(what); }

void ForgetNotedValues() { TheNotes() = Notes{}; }

std::string ExpandUserNamePlaceholder(const std::string& path) {
    static const std::string kPlaceholder = "<USERNAME>";
    std::string upper = Upper(path);
    if (!upper.starts_with(kPlaceholder)) return path;
    const std::string profile = GetSpecialFolder(40);
    std::string out;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = upper.find(kPlaceholder, pos)) != std::string::npos; pos = hit + kPlaceholder.size()) {
        out += path.substr(pos, hit - pos);
        out += profile;
    }
    return out + path.substr(pos);
}

std::string GetFileBaseName(const std::string& path) {
    // Positions as 1-based, 0 when absent, exactly as the name rule counts them.
    auto pos1 = [](std::size_t p) { return p == std::string::npos ? 0L : static_cast<long>(p) + 1; };
    long s = pos1(path.find_last_of(kPathSeparators));
    long d = pos1(path.find_last_of('.'));
    long n = d - s - 1;
    if (n <= 0) return {};
    return path.substr(static_cast<std::size_t>(s), static_cast<std::size_t>(n));
}

std::string GetFileName(const std::string& path) {
    auto slash = path.find_last_of(kPathSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace pvd
