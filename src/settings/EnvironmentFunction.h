// Where things live: product folders, the profile folder, the dictation root
// and its drafts folder, each from the first non-empty of its sources.
#pragma once

#include <string>

namespace pvd {

// Where an answer came from, for administrators (--paths).
struct PathSource {
    std::string text;
};

std::string GetProductKeyName();
std::string GetProductKeyPath(const std::string& name);
std::string GetProductRegistryKey();
std::string GetAppDataFolder(const std::string& sub, PathSource* source = nullptr);
std::string GetRegistryProfileFolder(const std::string& name, PathSource* source = nullptr);
// The policy VNPROFILE, the machine's VNPROFILE (both used as stored), the
// environment's VNPROFILE with the name appended, or the application data
// folder.
std::string GetProfileFolder(const std::string& name, PathSource* source = nullptr);
bool ProfileFolderOverrideExists(const std::string& name);
std::string GetVnFilesPath(PathSource* source = nullptr);
std::string GetDefaultVnFilesFolder(PathSource* source = nullptr);
std::string GetWorkingDirectory(PathSource* source = nullptr);
bool WorkingDirectoryIsEmpty();
// The policy WorkingDirectory, the machine's WorkingDirectory, the profile's
// "Default Path", VNFILES_PATH, Documents/VnFiles, the built-in root.
std::string GetDictationRootFolder(PathSource* source = nullptr);
std::string GetDraftsFolder(PathSource* source = nullptr);

// The program's temporary folder: TEMP, "Vantora", the product key name;
// "" when TEMP has no value and the user has no private folder for it.
std::string ProgramTempFolder(PathSource* source = nullptr);

// The built-in dictation root: $HOME/VnFiles, C:\VnFiles on Windows.
std::string BuiltInVnFilesRoot();

}  // namespace pvd
