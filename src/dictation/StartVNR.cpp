#include "dictation/StartVNR.h"

#include "platform/process.h"
#include "settings/policy.h"
#include "settings/registry.h"

namespace pvd {

std::string GetVNRPath(PathSource* source) {
    if (std::string p = GetPolicyPath(kPolicyRecorder, source); !p.empty()) return p;
    std::string where;
    std::string r = ReadRegistryPath(RegistryRoot::LocalMachine, "SOFTWARE\\Vantora\\VNR", "PATH", &where);
    if (source) source->text = r.empty() ? "" : "registry " + where;
    return r;
}

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
