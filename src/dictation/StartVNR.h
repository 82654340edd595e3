// Starting the recorder on a dictation file.
#pragma once

#include <string>

#include "settings/EnvironmentFunction.h"

namespace pvd {

// The recorder program: the policy RecorderPath, else
// HKEY_LOCAL_MACHINE\SOFTWARE\Vantora\VNR "PATH", read afresh at every call;
// "" when it is not configured.
std::string GetVNRPath(PathSource* source = nullptr);

struct RecorderStart {
    std::string recorder;  // the configured program; "" when none is configured
    bool started = false;
    long pid = 0;
    std::string reason;  // why a configured recorder did not start
};

// Starts the recorder with the single argument "open" immediately followed by
// the dictation path, detached: never waited for, never left as a zombie.
// Nothing happens when no recorder is configured; a configured recorder that
// cannot be started is reported.
RecorderStart StartVNR(const std::string& path);

}  // namespace pvd
