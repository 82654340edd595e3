#include "app/gui_main.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <cstdio>
#include <string>

#include "app/Form1.h"
#include "app/cli.h"
#include "app/qt/MainWindow.h"
#include "app/system_services.h"
#include "platform/instance_lock.h"
#include "platform/outside_events.h"
#include "platform/process.h"

namespace pvd {
namespace {

// SIGTERM, SIGINT and SIGHUP end the program like "Exit", from the event
// loop; SIGUSR1 (a second start) shows the window; an ended recorder is
// collected there.
void RouteOutsideEvents(Form1& form) {
    const int fd = OutsideEventDescriptor();
    if (fd < 0) return;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [&form] {
        const OutsideEvent event = TakeOutsideEvent();
        if (event == OutsideEvent::ProgramEnded) ReapEndedProcesses();
        if (event == OutsideEvent::EndRequested) form.mnuExit_Click();
        if (event == OutsideEvent::ShowRequested && !form.exiting()) form.Form_MouseMove(kTrayDoubleClick);
    });
}

// A StatusNotifierItem panel reports single clicks only.
bool SingleClickTray() {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return false;  // no session bus, no such panel
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered("org.kde.StatusNotifierWatcher");
}

// The lock of this user's one instance.
std::string LockName() {
    return InstanceLockName(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation).toStdString());
}

}  // namespace

int QuitRunningInstance(int timeoutMs) { return ReportEnd(EndRunningInstances(LockName(), timeoutMs)); }

int RunGui(int& argc, char** argv, bool show) {
    ListenForOutsideEvents();  // first: a signal during start-up waits for the loop
    QApplication app(argc, argv);
    QApplication::setApplicationName("pacs-vantora-driver");
    QApplication::setApplicationDisplayName(kCaption);
    QApplication::setQuitOnLastWindowClosed(false);  // it lives in the tray

    // One instance per user. Only a live instance holds the lock: one that
    // died released it with its last descriptor, and whatever the file holds
    // does not matter. Where no lock can be had, the program runs unguarded.
    // A second start asks the running one to show its window, then ends.
    InstanceLock lock(LockName());
    SystemServices services([&lock] {
        const InstanceLock::State state = lock.TryAcquire();
        if (state == InstanceLock::State::Unavailable)
            std::fprintf(stderr, "pacs-vantora-driver: running without the single-instance lock: %s\n", lock.reason().c_str());
        if (state == InstanceLock::State::HeldByAnother) AskRunningInstanceToShow(LockName());
        return state == InstanceLock::State::HeldByAnother;
    });

    MainWindow window;
    Form1 form(services, window);
    window.Attach(&form);
    window.SetSingleClickTray(SingleClickTray());
    RouteOutsideEvents(form);
    if (!form.Form_Load()) return 0;
#ifndef QT_NO_SESSIONMANAGER
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [&form](QSessionManager&) { form.mnuExit_Click(); });
#endif
    if (show) form.Form_MouseMove(kTrayDoubleClick);
    return QApplication::exec();
}

}  // namespace pvd
