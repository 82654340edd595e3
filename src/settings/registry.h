// Registry values as the program reads them: converted by their stored type,
// with a fallback when a value is missing or unusable; and the note, once,
// of a stored value that is present but cannot be used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/log_sink.h"
#include "platform/registry.h"
#include "platform/special_folders.h"

namespace pvd {

// Empty (no value), text, 32-bit integer, or bytes.
using RegistryResult = std::variant<std::monostate, std::string, std::int32_t, std::vector<std::uint8_t>>;

// A stored value as its type reads: text (up to its first NUL), integer or
// bytes; the fallback for types that are not read and data too short for
// its type.
RegistryResult ConvertRegistryValue(const RegistryValue& value, const RegistryResult& fallback);

// Reads one value, converted by its type, from the first view of the root
// that holds it; the fallback when the key, the value or the store is
// missing or unusable. A change takes effect at the next read.
RegistryResult ReadRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName,
                                 const RegistryResult& fallback = {});

// A value used as a path: its text from the first view of the root that
// holds a usable one, "" when there is none. A value that is there but
// cannot be a path (not text, or a NUL before its end) is noted once and
// read as missing, so the next view, and then the caller's next source,
// answers. `where` names the value and view that answered.
std::string ReadRegistryPath(RegistryRoot root, const std::string& keyPath, const std::string& valueName,
                             std::string* where = nullptr);

// Judges one stored value: usable, or why not (no reason: as if it were not
// there, nothing noted).
struct RegistryJudgement {
    bool usable = false;
    std::string why;
};
// Reads a value from each view of the root in turn until `judge` takes one;
// a value it refuses with a reason is noted once. False when none is taken.
// `where` names the value and view that answered.
template <typename Judge>
bool ReadUsableRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName, Judge judge,
                             RegistryValue& out, std::string* where = nullptr);

// The characters of a text value (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)
// without its closing NULs; false for any other type.
bool RegistryTextOf(const RegistryValue& value, std::string& text);
// Why text cannot be a path: "" when it can.
std::string PathTextProblem(const std::string& text);
// A full path: from the root of a drive or share ("C:\", "\\server\share"),
// or "/" on POSIX; never one relative to a current folder or drive.
bool IsFullPath(const std::string& path);

// The value as the log and --paths name it: "HKEY_LOCAL_MACHINE\<key>
// <name>", and the view when the root has more than one.
std::string RegistryValueName(RegistryRoot root, const std::string& keyPath, const std::string& valueName, std::size_t view);

// Where notes of unusable values go (the activity log). Notes made while
// none is set wait, and go to the next one set.
void SetSettingsLog(LogSink* log);
// Stops sending notes to `log` if it is the one set.
void ReleaseSettingsLog(LogSink* log);
// Notes that a stored value is present but unusable, once for each value
// and reason: the same again is not noted until the value was usable or
// missing in between.
void NoteUnusableValue(const std::string& what, const std::string& why);
void NoteUsableValue(const std::string& what);
// Forgets what was noted and what waits, and lets go of the log (tests, and
// --paths, which lists every value it passes over).
void ForgetNotedValues();

std::string ExpandUserNamePlaceholder(const std::string& path);
std::string GetFileBaseName(const std::string& path);
std::string GetFileName(const std::string& path);

template <typename Judge>
bool ReadUsableRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName, Judge judge,
                             RegistryValue& out, std::string* where) {
    const std::size_t views = RegistryViews(root).size();
    std::optional<RegistryValue> refused;
    for (std::size_t view = 0; view < views; ++view) {
        RegistryValue value;
        const std::string what = RegistryValueName(root, keyPath, valueName, view);
        if (!ReadRawRegistryValue(root, keyPath, valueName, value, view)) {
            NoteUsableValue(what);  // gone: a later unusable value is noted anew
            continue;
        }
        // Keys that both views share (such as the policies) show the same
        // value twice: it is judged, and noted, once.
        if (refused && refused->type == value.type && refused->bytes == value.bytes) continue;
        const RegistryJudgement j = judge(value);
        if (!j.usable) {
            if (j.why.empty()) NoteUsableValue(what);
            else NoteUnusableValue(what, j.why);
            refused = std::move(value);
            continue;
        }
        NoteUsableValue(what);
        out = std::move(value);
        if (where) *where = what;
        return true;
    }
    return false;
}

}  // namespace pvd
