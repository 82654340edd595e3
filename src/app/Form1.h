// The main window's state and every operation of it, free of any toolkit:
// start-up, the order-file watch, the file dialog, the launch command, the
// menu and the tray icon's clicks. A view draws it and forwards events.
#pragma once

#include <optional>
#include <string>

#include "fileutil/FileFunctions.h"
#include "intake/order.h"
#include "platform/xml_document.h"

namespace pvd {

// Everything Form1 asks of the rest of the program. Any call may fail by
// throwing; start-up and the tray callback then skip that step and go on.
class Form1Services {
public:
    virtual ~Form1Services() = default;
    virtual bool AnotherInstanceRunning() = 0;
    virtual void InitFileControl() = 0;
    virtual void InitFileSystem() = 0;
    virtual std::string TempFolder() = 0;  // TEMP & "/Vantora/" & product key name
    virtual void EnsureTempFolder(const std::string& path) = 0;
    virtual void SetSettingsAppName(const std::string& name) = 0;
    virtual std::string GetProfilePathFilename() = 0;
    virtual void SetCurrentProfile(const std::string& name) = 0;
    virtual void WriteLog(const std::string& message) = 0;
    virtual void StartLog() = 0;
    virtual std::string GetXMLFilename() = 0;
    // One reading of the order file, which both loaders then parse.
    virtual xml::FileSnapshot ReadOrderFile(const std::string& path) = 0;
    virtual bool LoadLegacyXML(OrderState& order, const xml::FileSnapshot& file) = 0;
    virtual bool LoadXML(OrderState& order, const xml::FileSnapshot& file) = 0;
    virtual FileDate GetFileModifiedDate(const std::string& path) = 0;
    virtual void SaveDefaultSetting(const std::string& key, const std::string& value) = 0;
    virtual std::string GetDraftsFolder() = 0;
    virtual bool FileExistsQuiet(const std::string& path) = 0;
    virtual bool CreateNewFile(const std::string& path, const OrderState& order) = 0;
    virtual void StartVNR(const std::string& path) = 0;
};

// What the window and the tray show.
class Form1View {
public:
    virtual ~Form1View() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void ShowOrderFields(const OrderFields& fields) = 0;
    virtual void SetXMLFileText(const std::string& text) = 0;
    virtual void SetLaunchEnabled(bool cmdLaunch, bool mnuLaunch) = 0;
    virtual void EnableTimer() = 0;
    virtual void ShowWindow() = 0;
    virtual void HideWindow() = 0;
    virtual void MinimizeWindow() = 0;
    virtual void SetWindowStateNormal() = 0;
    virtual bool TrayAvailable() = 0;
    virtual bool AddTrayIcon(const std::string& tip, int callbackMessage) = 0;
    virtual void RemoveTrayIcon() = 0;
    virtual void PopupFileMenu() = 0;
    // The Open dialog; nothing when it was cancelled.
    virtual std::optional<std::string> ShowOpenDialog(const std::string& title, const std::string& filter, int flags,
                                                      const std::string& initialFile) = 0;
    virtual void ShowMessage(const std::string& text) = 0;
    // Unloads the window and ends the program.
    virtual void Quit() = 0;
};

enum class LaunchResult { Reused, Created, Refused, Failed };

struct LaunchOutcome {
    LaunchResult result = LaunchResult::Failed;
    std::string path;
};

inline constexpr const char* kCaption = "PACS Vantora Driver";
inline constexpr int kTrayCallbackMessage = 512;
inline constexpr int kTrayDoubleClick = 515;
inline constexpr int kTrayRightButtonUp = 517;
inline constexpr int kQueryUnloadFromUser = 0;
inline constexpr int kQueryUnloadFromCode = 1;

class Form1 {
public:
    Form1(Form1Services& services, Form1View& view) : s_(services), v_(view) {}

    // Start-up: runs once; false when another instance runs and this one ends.
    bool Form_Load();

    void Timer1_Timer();
    void LoadNewXMLFile();
    void cmdXmlFile_Click() { LoadNewXMLFile(); }
    void txtXMLFile_DblClick() { LoadNewXMLFile(); }
    void cmdLaunch_Click() { Launch(); }
    LaunchOutcome Launch();

    void Form_MouseMove(int message);
    void Form_QueryUnload(int& cancel, int unloadMode);
    void mnuLaunch_Click() { cmdLaunch_Click(); }
    void mnuClose_Click();
    void mnuExit_Click();

    std::string GetXMLFilename() { return s_.GetXMLFilename(); }
    bool LoadOrder(const std::string& path);

    // The text boxes: what the user types is what the launch reads.
    void SetOrderFields(const OrderFields& fields) { order_.fields = fields; }

    OrderState& order() { return order_; }
    const OrderState& order() const { return order_; }
    FileDate XMLFileDate() const { return xmlFileDate_; }
    bool launchEnabled() const { return launchEnabled_; }
    bool exiting() const { return exiting_; }

private:
    void SetLaunchEnabled(bool enabled);
    void HideToTray();

    Form1Services& s_;
    Form1View& v_;
    OrderState order_;
    FileDate xmlFileDate_ = 0;
    bool launchEnabled_ = false;
    bool exiting_ = false;
};

}  // namespace pvd
