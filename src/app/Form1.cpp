#include "app/Form1.h"

#include "platform/environment.h"
#include "settings/registry.h"  // GetFileBaseName

namespace pvd {
namespace {

// Resume-next: a step that fails is skipped and the next one runs.
template <typename Step>
void Try(Step step) {
    try {
        step();
    } catch (...) {
    }
}

}  // namespace

bool Form1::Form_Load() {
    bool another = false;
    Try([&] { another = s_.AnotherInstanceRunning(); });
    if (another) {
        exiting_ = true;
        v_.Quit();
        return false;
    }
    Try([&] { v_.SetCaption(kCaption); });
    Try([&] { SetLaunchEnabled(false); });
    Try([&] { s_.InitFileControl(); });
    Try([&] { s_.InitFileSystem(); });
    Try([&] { s_.EnsureTempFolder(s_.TempFolder()); });
    Try([&] { s_.SetSettingsAppName("Vantora Recorder"); });
    Try([&] {
        const std::string name = GetFileBaseName(s_.GetProfilePathFilename());
        s_.WriteLog("Change profile to " + name);
        s_.SetCurrentProfile(name);
    });
    Try([&] {
        order_.fields = OrderFields{};
        v_.ShowOrderFields(order_.fields);
    });
    Try([&] { s_.StartLog(); });
    Try([&] { v_.SetXMLFileText(s_.GetXMLFilename()); });
    // The date is read before the load, as the tick does: a rewrite while the
    // file is being loaded then counts as newer and the first tick launches it.
    FileDate loadedDate = 0;
    Try([&] { loadedDate = s_.GetFileModifiedDate(s_.GetXMLFilename()); });
    bool ok = false;
    Try([&] { ok = LoadOrder(s_.GetXMLFilename()); });
    Try([&] { SetLaunchEnabled(ok); });
    xmlFileDate_ = loadedDate;
    Try([&] { v_.EnableTimer(); });
    Try([&] { v_.AddTrayIcon(kCaption, kTrayCallbackMessage); });
    Try([&] {
        v_.SetWindowStateNormal();
        HideToTray();
    });
    return true;
}

bool Form1::LoadOrder(const std::string& path) {
    bool ok = false;
    try {
        // Both loaders see the same bytes: a file caught half rewritten fails
        // both, instead of the generic loader taking the finished version
        // while the fields still hold the previous patient.
        const xml::FileSnapshot file = s_.ReadOrderFile(path);
        ok = s_.LoadLegacyXML(order_, file);
        if (!ok) ok = s_.LoadXML(order_, file);
    } catch (...) {
        ok = false;
    }
    // The legacy loader fills the fields even when it then fails.
    v_.ShowOrderFields(order_.fields);
    return ok;
}

void Form1::Timer1_Timer() {
    const FileDate d = s_.GetFileModifiedDate(s_.GetXMLFilename());
    if (d <= xmlFileDate_) return;
    if (!LoadOrder(s_.GetXMLFilename())) return;  // retried at every tick while the file stays newer
    xmlFileDate_ = d;
    SetLaunchEnabled(true);
    cmdLaunch_Click();
}

void Form1::LoadNewXMLFile() {
    try {
        std::optional<std::string> chosen =
            v_.ShowOpenDialog("Select XML File", "XML File (*.xml)|*.xml", 4100, s_.GetXMLFilename());
        if (!chosen) return;
        const FileDate loadedDate = s_.GetFileModifiedDate(*chosen);  // before the load, as above
        if (!LoadOrder(*chosen)) return;
        s_.SaveDefaultSetting("XMLDataPath", *chosen);
        xmlFileDate_ = loadedDate;
        SetLaunchEnabled(true);
        v_.SetXMLFileText(s_.GetXMLFilename());
    } catch (...) {
    }
}

LaunchOutcome Form1::Launch() {
    const std::string& mrn = order_.fields.txtMRN;
    const std::string& accession = order_.fields.txtAccession;
    LaunchOutcome out;
    out.path = s_.GetDraftsFolder() + kPathSeparator + mrn + "_" + accession + ".iaf";
    // Order values name a file inside the drafts folder, never a path elsewhere.
    if (mrn.find_first_of("/\\") != std::string::npos || accession.find_first_of("/\\") != std::string::npos) {
        out.result = LaunchResult::Refused;
    } else if (s_.FileExistsQuiet(out.path)) {
        out.result = LaunchResult::Reused;
    } else {
        out.result = s_.CreateNewFile(out.path, order_) ? LaunchResult::Created : LaunchResult::Failed;
    }
    if (out.result == LaunchResult::Reused || out.result == LaunchResult::Created) {
        s_.StartVNR(out.path);
    } else {
        v_.ShowMessage("Unable to create " + out.path);
    }
    return out;
}

void Form1::Form_MouseMove(int message) {
    if (message == kTrayDoubleClick) {
        Try([&] { v_.ShowWindow(); });
        Try([&] { v_.RemoveTrayIcon(); });
    } else if (message == kTrayRightButtonUp) {
        Try([&] { v_.PopupFileMenu(); });
    }
}

void Form1::Form_QueryUnload(int& cancel, int unloadMode) {
    if (unloadMode != kQueryUnloadFromUser) return;
    HideToTray();
    v_.AddTrayIcon(kCaption, kTrayCallbackMessage);
    cancel = 1;
}

void Form1::mnuClose_Click() {
    HideToTray();
    v_.AddTrayIcon(kCaption, kTrayCallbackMessage);
}

void Form1::mnuExit_Click() {
    exiting_ = true;
    int cancel = 0;
    Form_QueryUnload(cancel, kQueryUnloadFromCode);
    v_.RemoveTrayIcon();
    v_.Quit();
}

void Form1::SetLaunchEnabled(bool enabled) {
    launchEnabled_ = enabled;
    v_.SetLaunchEnabled(enabled, enabled);  // mnuLaunch always follows cmdLaunch
}

void Form1::HideToTray() {
    // Without a notification area a hidden window could never be reached again.
    if (v_.TrayAvailable()) {
        v_.HideWindow();
    } else {
        v_.MinimizeWindow();
    }
}

}  // namespace pvd
