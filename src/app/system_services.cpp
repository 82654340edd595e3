#include "app/system_services.h"

#include "app/order_file.h"

#include <chrono>
#include "dictation/StartVNR.h"
#include "dictation/new_file.h"
#include "format/FileControl.h"
#include "intake/loaders.h"
#include "platform/environment.h"
#include "settings/EnvironmentFunction.h"
#include "settings/registry.h"
#include "settings/systemRegKeys.h"

namespace pvd {

void SystemServices::InitFileControl() { pvd::InitFileControl(); }
void SystemServices::InitFileSystem() { pvd::InitFileSystem(); }

std::string SystemServices::TempFolder() { return ProgramTempFolder(); }

SystemServices::~SystemServices() { ReleaseSettingsLog(&log_); }

void SystemServices::StartLog() {
    log_.StartLog();
    SetSettingsLog(&log_);
}

void SystemServices::EnsureTempFolder(const std::string& path) { pvd::EnsureTempFolder(path, log_); }
void SystemServices::SetSettingsAppName(const std::string& name) { pvd::SetSettingsAppName(name); }
std::string SystemServices::GetProfilePathFilename() { return pvd::GetProfilePathFilename(); }
void SystemServices::SetCurrentProfile(const std::string& name) { pvd::SetCurrentProfile(name); }
std::string SystemServices::GetXMLFilename() { return pvd::GetXMLFilename(); }

bool SystemServices::LoadLegacyXML(OrderState& order, const xml::FileSnapshot& file, LogSink& log) {
    return pvd::LoadLegacyXML(order, file, IntakeContext{xml_, log, clock_});
}

bool SystemServices::LoadXML(OrderState& order, const xml::FileSnapshot& file, LogSink& log) {
    return pvd::LoadXML(order, file, IntakeContext{xml_, log, clock_});
}

std::int64_t SystemServices::MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool SystemServices::SaveDefaultSetting(const std::string& key, const std::string& value) {
    std::string why;
    if (pvd::SaveDefaultSetting(key, value, &why)) return true;
    log_.WriteLog("Unable to save setting " + key + (why.empty() ? "" : ": " + why));
    return false;
}

std::string SystemServices::GetDraftsFolder() { return pvd::GetDraftsFolder(); }

void SystemServices::CleanDraftsFolder() { driver_.api().RemoveStaleTemporaries(pvd::GetDraftsFolder().c_str()); }

DictationFileInfo SystemServices::InspectDictationFile(const std::string& path) {
    return pvd::InspectDictationFile(path, driver_.api());
}

CreateResult SystemServices::CreateNewFile(const std::string& path, const OrderState& order, std::string& why) {
    return pvd::CreateNewFile(path, order, NewFileContext{driver_, RecordingSettings(), log_, clock_}, &why);
}

RecorderStart SystemServices::StartVNR(const std::string& path) { return pvd::StartVNR(path); }

}  // namespace pvd
