// Starting another program, detached from this one.
#pragma once

#include <string>

namespace pvd {

struct ProcessStart {
    bool started = false;
    long pid = 0;
    std::string reason;  // why it did not start
};

// Starts `program` (an absolute path, run directly: no shell, no search) with
// exactly one argument, in a session of its own, with default signal
// handling and none of our descriptors beyond the standard three. A start
// that fails (no such file, not executable, not a program) is reported. The
// program is never waited for; ReapEndedProcesses collects it once it ends.
ProcessStart StartDetached(const std::string& program, const std::string& argument);

// Gives an abnormal end of this program (abort, an uncaught exception) an
// exit status of its own, 134, never one that the command line gives a
// meaning: on Windows abort() would end the program with 3.
void DistinguishAbnormalExit();

// Collects the programs started by StartDetached that have ended, so that
// none stays a zombie; never blocks.
void ReapEndedProcesses();

}  // namespace pvd
