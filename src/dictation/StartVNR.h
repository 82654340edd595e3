// Starting the recorder on a dictation file.
#pragma once

#include <string>

namespace pvd {

// The recorder program: HKEY_LOCAL_MACHINE\SOFTWARE\Vantora\VNR "PATH", read
// afresh at every call; "" when it is not configured.
std::string GetVNRPath();

// Starts the recorder with the single argument "open" immediately followed by
// the dictation path, detached: never waited for, never left as a zombie.
// Nothing happens when no recorder is configured; a recorder that cannot be
// started is not reported. Returns whether a start was handed to the system.
bool StartVNR(const std::string& path);

}  // namespace pvd
