// The .reg files that serve the registry on POSIX.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace pvd {

// key path (upper case, root spelled out) -> value name (upper case, "" for @) -> value
using RegistryData = std::map<std::string, std::map<std::string, RegistryValue>>;

// Parses the text of a .reg file (UTF-8 or UTF-16LE with BOM). Malformed
// lines are skipped; later definitions of a value replace earlier ones.
RegistryData ParseRegFile(std::string_view bytes);

// Where the two registry files live.
std::string MachineRegistryFile();  // $VANTORA_MACHINE_REGISTRY or /etc/vantora/registry.reg
std::string UserRegistryFile();     // ${XDG_CONFIG_HOME:-$HOME/.config}/vantora/registry.reg

}  // namespace pvd
