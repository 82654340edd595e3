// The command-line modes of pacs-vantora-driver (everything but the tray program).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace pvd {

// Runs a command-line mode. Returns the exit status, or nothing when the
// arguments ask for the tray program.
std::optional<int> RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace pvd
