// Process environment and the program's own identity.
#pragma once

#include <string>
#include <vector>

namespace pvd {

// The separator put between path parts, and those that end one when a path
// is taken apart (Windows takes '/' as well).
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
inline constexpr const char* kPathSeparators = "\\/";
#else
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kPathSeparators = "/";
#endif

// A variable of the process environment; unset and empty are both "".
std::string GetRawEnv(const std::string& name);

// A variable as the program knows it. Where a Windows variable is empty the
// platform answers: on POSIX APPDATA -> ${XDG_CONFIG_HOME:-$HOME/.config},
// USERPROFILE -> $HOME, TEMP -> PrivateTempBase(); on Windows TEMP ->
// the system's temporary folder.
std::string GetEnv(const std::string& name);

// What answered GetEnv("TEMP"), for --paths.
std::string TempFolderSource();

// The user's own folder for temporary files: on POSIX $XDG_RUNTIME_DIR when
// set, else ${XDG_CACHE_HOME:-$HOME/.cache}; on Windows the system's
// temporary folder. "" when there is none.
std::string PrivateTempBase();

// Where the user's configuration lives: ${XDG_CONFIG_HOME:-$HOME/.config},
// %APPDATA% on Windows; "" when unknown.
std::string UserConfigFolder();

// Where the user's lasting program state lives (the journal):
// ${XDG_STATE_HOME:-$HOME/.local/state}, %LOCALAPPDATA% on Windows; "" when
// unknown, with the reason in `why`.
std::string UserStateFolder(std::string* why = nullptr);
// What answered UserStateFolder, for --paths.
std::string UserStateFolderSource();

// The built-in dictation root: $HOME/VnFiles, C:\VnFiles on Windows.
std::string BuiltInDictationRoot();

// The program's arguments (after its name), in UTF-8.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// The running executable's full path; "" when unknown.
std::string ExecutablePath();
// Folder of the running executable, and its file name without extension.
std::string ExecutableFolder();
std::string ExecutableBaseName();

// Overrides the executable's base name (tests and tools that act as the program).
void SetExecutableBaseNameForTesting(const std::string& name);

}  // namespace pvd
