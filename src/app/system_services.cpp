#include "app/system_services.h"

#include "app/order_file.h"
#include "dictation/StartVNR.h"
#include "dictation/new_file.h"
#include "format/FileControl.h"
#include "intake/loaders.h"
#include "platform/environment.h"
#include "settings/EnvironmentFunction.h"
#include "settings/systemRegKeys.h"

namespace pvd {

void SystemServices::InitFileControl() { pvd::InitFileControl(); }
void SystemServices::InitFileSystem() { pvd::InitFileSystem(); }

std::string SystemServices::TempFolder() { return ProgramTempFolder(); }

void SystemServices::EnsureTempFolder(const std::string& path) { pvd::EnsureTempFolder(path, log_); }
void SystemServices::SetSettingsAppName(const std::string& name) { pvd::SetSettingsAppName(name); }
std::string SystemServices::GetProfilePathFilename() { return pvd::GetProfilePathFilename(); }
void SystemServices::SetCurrentProfile(const std::string& name) { pvd::SetCurrentProfile(name); }
std::string SystemServices::GetXMLFilename() { return pvd::GetXMLFilename(); }

bool SystemServices::LoadLegacyXML(OrderState& order, const xml::FileSnapshot& file) {
    return pvd::LoadLegacyXML(order, file, IntakeContext{xml_, log_, clock_});
}

bool SystemServices::LoadXML(OrderState& order, const xml::FileSnapshot& file) {
    return pvd::LoadXML(order, file, IntakeContext{xml_, log_, clock_});
}

FileDate SystemServices::GetFileModifiedDate(const std::string& path) { return pvd::GetFileModifiedDate(path); }

void SystemServices::SaveDefaultSetting(const std::string& key, const std::string& value) {
    if (!pvd::SaveDefaultSetting(key, value)) log_.WriteLog("Unable to save setting " + key);
}

std::string SystemServices::GetDraftsFolder() { return pvd::GetDraftsFolder(); }
bool SystemServices::FileExistsQuiet(const std::string& path) { return pvd::FileExistsQuiet(path); }

bool SystemServices::CreateNewFile(const std::string& path, const OrderState& order) {
    return pvd::CreateNewFile(path, order, NewFileContext{driver_, RecordingSettings(), log_, clock_});
}

void SystemServices::StartVNR(const std::string& path) { pvd::StartVNR(path); }

}  // namespace pvd
