#include "app/gui_main.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <csignal>
#include <cstdio>

#include "app/Form1.h"
#include "app/qt/MainWindow.h"
#include "app/system_services.h"
#include "platform/instance_lock.h"
#include "platform/process.h"

namespace pvd {
namespace {

int g_signalPipe[2] = {-1, -1};

constexpr char kExitByte = 1, kChildByte = 2;

void OnSignal(int sig) {
    const char byte = sig == SIGCHLD ? kChildByte : kExitByte;
    [[maybe_unused]] ssize_t n = write(g_signalPipe[0], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP end the program like "Exit", from the event loop.
// The handler only writes a byte, so it is installed before anything else;
// a signal that comes during start-up is handled once the event loop runs.
void InstallSignalPipe() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
    // A recorder that ends is collected at once, never left as a zombie.
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
}

void RouteSignals(Form1& form) {
    if (g_signalPipe[1] < 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [&form] {
        char byte = kExitByte;
        if (read(g_signalPipe[1], &byte, 1) == 1 && byte == kChildByte) return ReapEndedProcesses();
        form.mnuExit_Click();
    });
}

// A StatusNotifierItem panel reports single clicks only.
bool SingleClickTray() {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return false;  // no session bus, no such panel
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered("org.kde.StatusNotifierWatcher");
}

}  // namespace

int RunGui(int& argc, char** argv, bool show) {
    InstallSignalPipe();
    QApplication app(argc, argv);
    QApplication::setApplicationName("pacs-vantora-driver");
    QApplication::setApplicationDisplayName(kCaption);
    QApplication::setQuitOnLastWindowClosed(false);  // it lives in the tray

    // One instance per user. Only a live instance holds the lock: one that
    // died released it with its last descriptor, and whatever the file holds
    // does not matter. Where no lock can be had, the program runs unguarded.
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const QString lockPath = runtime.isEmpty() ? QDir::tempPath() + "/pacs-vantora-driver-" + QString::number(getuid()) + ".lock"
                                               : runtime + "/pacs-vantora-driver.lock";
    InstanceLock lock(lockPath.toStdString());
    SystemServices services([&lock] {
        const InstanceLock::State state = lock.TryAcquire();
        if (state == InstanceLock::State::Unavailable)
            std::fprintf(stderr, "pacs-vantora-driver: running without the single-instance lock: %s\n", lock.reason().c_str());
        return state == InstanceLock::State::HeldByAnother;
    });

    MainWindow window;
    Form1 form(services, window);
    window.Attach(&form);
    window.SetSingleClickTray(SingleClickTray());
    RouteSignals(form);
    if (!form.Form_Load()) return 0;
#ifndef QT_NO_SESSIONMANAGER
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [&form](QSessionManager&) { form.mnuExit_Click(); });
#endif
    if (show) form.Form_MouseMove(kTrayDoubleClick);
    return QApplication::exec();
}

}  // namespace pvd
