// The Win32 view of Form1: the window with its controls and "File" menu, the
// timer and file watch, the dialog, the message box and the tray icon.
#pragma once

#include <windows.h>

#include "app/Form1.h"
#include "platform/file_watch.h"

namespace pvd {

// Twips (1/1440 inch) to pixels at 96 dots per inch.
constexpr int Twips(int twips) { return (twips + 7) / 15; }

class MainWindow final : public Form1View {
public:
    MainWindow();
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Connects the window to its form; events are forwarded from then on.
    void Attach(Form1* form) { form_ = form; }
    // Runs the message loop (and the file watch) until Quit; the exit status.
    int Run();
    // Asks the loop to end as "Exit" does; from any thread.
    void RequestExit();
    // Whether a real window could be made (without a display only a
    // message-only one can: the watch and timer run all the same).
    bool HasWindow() const { return !messageOnly_; }

    // Form1View
    void SetCaption(const std::string& caption) override;
    void ShowOrderFields(const OrderFields& fields) override;
    void SetXMLFileText(const std::string& text) override;
    void SetLaunchEnabled(bool cmdLaunch, bool mnuLaunch) override;
    void EnableTimer() override;
    void ShowWindow() override;
    void HideWindow() override;
    void MinimizeWindow() override;
    void SetWindowStateNormal() override;
    bool TrayAvailable() override;
    bool AddTrayIcon(const std::string& tip, int callbackMessage) override;
    void RemoveTrayIcon() override;
    void PopupFileMenu() override;
    std::optional<std::string> ShowOpenDialog(const std::string& title, const std::string& filter, int flags,
                                              const std::string& initialFile) override;
    void ShowMessage(const std::string& text) override;
    void ScheduleRecheck(int ms) override;
    void Quit() override;

private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK EditProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    void Command(int id, int code);
    void OrderEdited();
    void Tick();
    void WatchOrderFile();
    void OnWatchSignalled();
    HWND Owner() const;
    int Px(int twips) const { return MulDiv(Twips(twips), dpi_, 96); }

    Form1* form_ = nullptr;
    HWND hwnd_ = nullptr;
    bool messageOnly_ = false;
    HWND txtMRN_ = nullptr, txtAccession_ = nullptr, txtStudy_ = nullptr, txtPatient_ = nullptr, txtUserID_ = nullptr,
         txtXMLFile_ = nullptr, cmdXmlFile_ = nullptr, cmdLaunch_ = nullptr;
    HMENU menuBar_ = nullptr, mnuFile_ = nullptr;
    HFONT font_ = nullptr;
    HICON icon_ = nullptr;
    int dpi_ = 96;
    WNDPROC editProc_ = nullptr;
    bool settingText_ = false;  // our own SetWindowText is no edit of the user
    bool trayShown_ = false;
    UINT taskbarCreated_ = 0;
    UINT endRequest_ = 0, showRequest_ = 0;
    bool timerOn_ = false;
    FileWatch watch_;
    bool watchOn_ = false;
    bool quitting_ = false;
};

}  // namespace pvd
