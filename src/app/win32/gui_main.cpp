#include "app/gui_main.h"

#include <atomic>
#include <cstdio>

#include "app/Form1.h"
#include "app/cli.h"
#include "app/system_services.h"
#include "app/win32/MainWindow.h"
#include "platform/instance_lock.h"
#include "platform/outside_events.h"

namespace pvd {
namespace {

std::atomic<MainWindow*> g_window{nullptr};

// Ctrl+C, a closed console, the end of the session: ended like "Exit", from
// the message loop (this runs on the handler's own thread).
void OnEndRequested() {
    if (MainWindow* window = g_window.load()) window->RequestExit();
}

}  // namespace

int QuitRunningInstance(int timeoutMs) { return ReportEnd(EndRunningInstances(InstanceLockName(""), timeoutMs)); }

int RunGui(int&, char**, bool show) {
    // One instance per logon session; the system releases the mutex however
    // its holder ends. Where none can be had, the program runs unguarded. A
    // second start (the Start menu while it runs from logon) asks the running
    // one to show its window, then ends.
    InstanceLock lock(InstanceLockName(""));
    SystemServices services([&lock] {
        const InstanceLock::State state = lock.TryAcquire();
        if (state == InstanceLock::State::Unavailable)
            std::fprintf(stderr, "pacs-vantora-driver: running without the single-instance lock: %s\n", lock.reason().c_str());
        if (state == InstanceLock::State::HeldByAnother) AskRunningInstanceToShow(InstanceLockName(""));
        return state == InstanceLock::State::HeldByAnother;
    });

    // Started from the Start menu or at logon, the console was made for this
    // process alone: a tray program leaves it (a console of a command prompt
    // that started it is shared, and stays).
    LeaveOwnConsole();

    MainWindow window;
    Form1 form(services, window);
    window.Attach(&form);
    if (!window.HasWindow())
        std::fprintf(stderr, "pacs-vantora-driver: no display; following the order file without a window\n");
    g_window = &window;
    ListenForOutsideEvents(&OnEndRequested);
    if (!form.Form_Load()) {
        StopListeningForOutsideEvents();
        g_window = nullptr;
        return 0;
    }
    if (show) form.Form_MouseMove(kTrayDoubleClick);
    const int status = window.Run();
    StopListeningForOutsideEvents();
    g_window = nullptr;
    return status;
}

}  // namespace pvd
