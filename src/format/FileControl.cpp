#include "format/FileControl.h"

#include <memory>

#include "platform/shared_library.h"

namespace pvd {

RecordSettings& RecordingSettings() {
    static RecordSettings settings;
    return settings;
}

namespace {
std::string g_problem = "the file controller was not started";
}

std::string RecordingSettingsProblem() { return g_problem; }

bool InitFileControl() {
    // Kept loaded for the life of the process, as the controller expects.
    static std::unique_ptr<SharedLibrary> controller;
    if (!controller) controller = SharedLibrary::Open("libfilecontroller.so");
    if (!controller) {
        g_problem = "the file controller libfilecontroller.so could not be loaded";
        return false;
    }
    auto load = reinterpret_cast<std::int32_t (*)(const char*)>(controller->Symbol("LoadFileDriver"));
    auto state = reinterpret_cast<std::int32_t (*)(std::int32_t)>(controller->Symbol("GetCurrentState"));
    if (!load || !state) {
        g_problem = "the file controller libfilecontroller.so lacks LoadFileDriver or GetCurrentState";
        return false;
    }
    load("libvnfformat.so");
    RecordingSettings().sampleRate = 11025;
    RecordingSettings().channels = 1;
    state(0);
    g_problem.clear();
    return true;
}

}  // namespace pvd
