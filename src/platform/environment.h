// Process environment and the program's own identity.
#pragma once

#include <string>

namespace pvd {

// The separator put between path parts.
inline constexpr char kPathSeparator = '/';

// A variable of the process environment; unset and empty are both "".
std::string GetRawEnv(const std::string& name);

// A variable as the program knows it. Where a Windows variable is empty its
// POSIX counterpart answers: APPDATA -> ${XDG_CONFIG_HOME:-$HOME/.config},
// USERPROFILE -> $HOME, TEMP -> PrivateTempBase().
std::string GetEnv(const std::string& name);

// The user's own folder for temporary files: $XDG_RUNTIME_DIR when set, else
// ${XDG_CACHE_HOME:-$HOME/.cache}; "" when none of them is set.
std::string PrivateTempBase();

// ${XDG_CONFIG_HOME:-$HOME/.config}, or "" when neither is set.
std::string UserConfigFolder();

// Folder of the running executable, and its file name without extension.
std::string ExecutableFolder();
std::string ExecutableBaseName();

// Overrides the executable's base name (tests and tools that act as the program).
void SetExecutableBaseNameForTesting(const std::string& name);

}  // namespace pvd
