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
    const std::string name = LibraryFileName(Library::Controller);
    if (!controller) controller = SharedLibrary::Open(name);
    if (!controller) {
        g_problem = "the file controller " + name + " could not be loaded";
        return false;
    }
    auto load = reinterpret_cast<std::int32_t (*)(const char*)>(controller->Symbol("LoadFileDriver"));
    auto state = reinterpret_cast<std::int32_t (*)(std::int32_t)>(controller->Symbol("GetCurrentState"));
    if (!load || !state) {
        g_problem = "the file controller " + name + " lacks LoadFileDriver or GetCurrentState";
        return false;
    }
    load(LibraryFileName(Library::Format).c_str());
    RecordingSettings().sampleRate = 11025;
    RecordingSettings().channels = 1;
    state(0);
    g_problem.clear();
    return true;
}

}  // namespace pvd
