// The Qt view of Form1: the window with its controls and "File" menu, the
// timer and file watch, the dialog, the message box and the tray icon.
#pragma once

#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/Form1.h"
#include "platform/file_watch.h"

namespace pvd {

// Twips (1/1440 inch) to pixels at 96 dots per inch.
constexpr int Twips(int twips) { return (twips + 7) / 15; }

// The program's icon, drawn at 16 x 16 and 32 x 32.
QIcon AppIcon();

class MainWindow final : public QMainWindow, public Form1View {
public:
    explicit MainWindow(QWidget* parent = nullptr);

    // Connects the window to its form; events are forwarded from then on.
    void Attach(Form1* form);

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

    QSystemTrayIcon& trayIcon() { return tray_; }
    QMenu* fileMenu() { return mnuFile_; }
    QTimer& timer() { return timer1_; }

    // Whether the tray reports only single clicks (a StatusNotifierItem
    // panel); a single click then stands for the double-click.
    void SetSingleClickTray(bool singleClick) { singleClickTray_ = singleClick; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void OrderEdited();
    void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void OnWatchReadable();
    void WatchOrderFile();
    void Tick();

    Form1* form_ = nullptr;
    QLineEdit* txtMRN_;
    QLineEdit* txtAccession_;
    QLineEdit* txtStudy_;
    QLineEdit* txtPatient_;
    QLineEdit* txtUserID_;
    QLineEdit* txtXMLFile_;
    QPushButton* cmdXmlFile_;
    QPushButton* cmdLaunch_;
    QMenu* mnuFile_;
    QAction* mnuLaunch_;
    QAction* mnuClose_;
    QAction* mnuExit_;
    QTimer timer1_;
    QTimer recheck_;
    FileWatch watch_;
    QSocketNotifier* watchNotifier_ = nullptr;
    QSystemTrayIcon tray_;
    bool singleClickTray_ = false;
};

}  // namespace pvd
