#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/Form1.h"

namespace pvd::test {

// A view that records what Form1 shows, in order.
class FakeView : public Form1View {
public:
    std::vector<std::string> events;
    std::vector<std::string> messages;
    std::string caption = "Form1";
    OrderFields fields;
    std::string xmlFileText = "Text1";
    bool cmdLaunch = true, mnuLaunch = true;
    bool timerEnabled = false;
    bool visible = true, minimized = false;
    bool trayAvailable = true;
    int trayIcons = 0;
    bool quit = false;
    std::optional<std::string> dialogAnswer;
    std::string dialogTitle, dialogFilter, dialogInitial;
    int dialogFlags = 0;

    void SetCaption(const std::string& c) override { caption = c, events.push_back("caption"); }
    void ShowOrderFields(const OrderFields& f) override { fields = f, events.push_back("fields"); }
    void SetXMLFileText(const std::string& t) override { xmlFileText = t, events.push_back("xmlfile"); }
    void SetLaunchEnabled(bool c, bool m) override {
        cmdLaunch = c, mnuLaunch = m;
        events.push_back(c ? "launch-on" : "launch-off");
    }
    void EnableTimer() override { timerEnabled = true, events.push_back("timer"); }
    void ShowWindow() override { visible = true, minimized = false, events.push_back("show"); }
    void HideWindow() override { visible = false, events.push_back("hide"); }
    void MinimizeWindow() override { minimized = true, events.push_back("minimize"); }
    void SetWindowStateNormal() override { minimized = false, events.push_back("normal"); }
    bool TrayAvailable() override { return trayAvailable; }
    bool AddTrayIcon(const std::string&, int) override {
        events.push_back("tray-add");
        if (!trayAvailable || trayIcons > 0) return false;  // one icon at most
        ++trayIcons;
        return true;
    }
    void RemoveTrayIcon() override {
        events.push_back("tray-remove");
        if (trayIcons > 0) --trayIcons;
    }
    void PopupFileMenu() override { events.push_back("menu"); }
    std::optional<std::string> ShowOpenDialog(const std::string& title, const std::string& filter, int flags,
                                              const std::string& initial) override {
        dialogTitle = title, dialogFilter = filter, dialogFlags = flags, dialogInitial = initial;
        events.push_back("dialog");
        return dialogAnswer;
    }
    void ShowMessage(const std::string& text) override { messages.push_back(text), events.push_back("message"); }
    void Quit() override { quit = true, events.push_back("quit"); }
    void ScheduleRecheck(int ms) override { rechecks.push_back(ms); }
    std::vector<int> rechecks;
};

}  // namespace pvd::test
