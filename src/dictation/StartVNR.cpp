#include "dictation/StartVNR.h"

#include "platform/process.h"
#include "settings/registry.h"

namespace pvd {

std::string GetVNRPath() { return ReadRegistryText(RegistryRoot::LocalMachine, "SOFTWARE\\Vantora\\VNR", "PATH"); }

RecorderStart StartVNR(const std::string& path) {
    RecorderStart out;
    out.recorder = GetVNRPath();
    if (out.recorder.empty()) return out;
    const ProcessStart p = StartDetached(out.recorder, "open" + path);
    out.started = p.started;
    out.pid = p.pid;
    out.reason = p.reason;
    return out;
}

}  // namespace pvd
