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

// How long --quit waits for the running program to end.
inline constexpr int kQuitTimeoutMs = 30000;
struct EndOutcome;
// The exit status of --quit for an outcome, after saying what happened:
// 0 when nothing runs any more, 1 when it still does.
int ReportEnd(const EndOutcome& outcome);
// The rest of --quit FOLDER, once nothing runs: 0 when no file of the
// program in FOLDER is held open by another program, else 1 after naming
// the files held.
int ReportFilesInUse(const std::string& folder);

}  // namespace pvd
