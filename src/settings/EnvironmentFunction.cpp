#include "settings/EnvironmentFunction.h"

#include "fileutil/FileFunctions.h"
#include "platform/environment.h"
#include "settings/policy.h"
#include "settings/registry.h"
#include "settings/systemRegKeys.h"

namespace pvd {
namespace {
void Say(PathSource* source, std::string text) {
    if (source) source->text = std::move(text);
}
const std::string kSep(1, kPathSeparator);
}  // namespace

std::string GetProductKeyName() { return "VNRecorder"; }

std::string GetProductKeyPath(const std::string& name) { return "SOFTWARE\\Vantora\\" + name; }

std::string GetProductRegistryKey() { return GetProductKeyPath(GetProductKeyName()); }

std::string ProgramTempFolder(PathSource* source) {
    const std::string temp = GetEnv("TEMP");
    Say(source, TempFolderSource());
    // Without a private folder there is none: never a folder at the root.
    if (temp.empty()) return {};
    return temp + kSep + "Vantora" + kSep + GetProductKeyName();
}

std::string BuiltInVnFilesRoot() { return BuiltInDictationRoot(); }

std::string GetAppDataFolder(const std::string& sub, PathSource* source) {
    std::string base = GetRawEnv("APPDATA");
    if (!base.empty()) {
        Say(source, "environment APPDATA");
    } else if (!(base = GetEnv("APPDATA")).empty()) {
        Say(source, "environment XDG_CONFIG_HOME or HOME (for APPDATA)");
    } else if (!(base = GetEnv("USERPROFILE")).empty()) {
        Say(source, "environment USERPROFILE");
    } else {
        Say(source, "built-in default (the program's folder)");
        return ExecutableFolder();
    }
    return base + kSep + "Vantora" + kSep + sub;
}

std::string GetRegistryProfileFolder(const std::string& name, PathSource* source) {
    std::string where;
    std::string r = ReadRegistryPath(RegistryRoot::LocalMachine, GetProductKeyPath(name), "VNPROFILE", &where);
    if (!r.empty()) Say(source, "registry " + where);
    return r;
}

std::string GetProfileFolder(const std::string& name, PathSource* source) {
    if (std::string p = GetPolicyPath(kPolicyProfileFolder, source); !p.empty()) return p;
    if (std::string r = GetRegistryProfileFolder(name, source); !r.empty()) return r;
    std::string e = GetRawEnv("VNPROFILE");
    if (e.empty()) return GetAppDataFolder(name, source);
    Say(source, "environment VNPROFILE");
    if (e.back() != kPathSeparator) e += kSep;
    return e + name;
}

bool ProfileFolderOverrideExists(const std::string& name) {
    if (GetPolicyPath(kPolicyProfileFolder).empty() && GetRegistryProfileFolder(name).empty() && GetRawEnv("VNPROFILE").empty())
        return false;
    return FolderExistsQuiet(GetProfileFolder(name));
}

std::string GetDefaultVnFilesFolder(PathSource* source) {
    const std::string docs = GetSpecialFolder(5);
    const std::string d = docs + kSep + "VnFiles";
    if (!docs.empty() && FolderExistsQuiet(d)) {
        Say(source, "special folder (documents)");
        return d;
    }
    Say(source, "built-in default");
    return BuiltInVnFilesRoot();
}

std::string GetVnFilesPath(PathSource* source) {
    std::string v = GetRawEnv("VNFILES_PATH");
    if (v.empty()) return GetDefaultVnFilesFolder(source);
    Say(source, "environment VNFILES_PATH");
    return v;
}

std::string GetWorkingDirectory(PathSource* source) {
    std::string where;
    std::string w = ReadRegistryPath(RegistryRoot::LocalMachine, GetProductRegistryKey(), "WorkingDirectory", &where);
    if (!w.empty()) Say(source, "registry " + where);
    return w;
}

bool WorkingDirectoryIsEmpty() { return GetWorkingDirectory().empty(); }

std::string GetDictationRootFolder(PathSource* source) {
    if (std::string p = GetPolicyPath(kPolicyDictationRoot, source); !p.empty()) return p;
    if (std::string w = GetWorkingDirectory(source); !w.empty()) return w;
    PathSource fallbackSource;
    const std::string stored = GetProfileSetting("Default Path", "");
    std::string p = ExpandUserNamePlaceholder(GetProfileSetting("Default Path", GetVnFilesPath(&fallbackSource)));
    if (!IsFixedDrive(p) && stored.empty()) {
        Say(source, "built-in default (" + fallbackSource.text + " is not on a local disk)");
        return BuiltInVnFilesRoot();
    }
    Say(source, stored.empty() ? fallbackSource.text : "setting [" + GetCurrentProfile() + "] Default Path");
    return p;
}

std::string GetDraftsFolder(PathSource* source) { return GetDictationRootFolder(source) + kSep + "Drafts"; }

}  // namespace pvd
