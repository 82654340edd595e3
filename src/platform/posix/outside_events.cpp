// Signals as bytes on a socket pair: the handlers only write a byte, which
// is safe in a handler; the event loop reads them.
#include "platform/outside_events.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>
#include <csignal>

namespace pvd {
namespace {

int g_events[2] = {-1, -1};  // [0] written by the handlers, [1] read by the loop

constexpr char kEnd = 1, kChild = 2, kShow = 3;

void OnSignal(int sig) {
    const int saved = errno;
    const char byte = sig == SIGCHLD ? kChild : sig == SIGUSR1 ? kShow : kEnd;
    [[maybe_unused]] ssize_t n = write(g_events[0], &byte, 1);
    errno = saved;
}

}  // namespace

void ListenForOutsideEvents(void (*)()) {
    if (g_events[1] >= 0) return;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_events) != 0) {
        g_events[0] = g_events[1] = -1;
        return;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaction(sig, &sa, nullptr);
    // A recorder that ends is collected at once, never left as a zombie.
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
}

void StopListeningForOutsideEvents() {}

int OutsideEventDescriptor() { return g_events[1]; }

OutsideEvent TakeOutsideEvent() {
    char byte = 0;
    if (g_events[1] < 0 || read(g_events[1], &byte, 1) != 1) return OutsideEvent::None;
    if (byte == kChild) return OutsideEvent::ProgramEnded;
    return byte == kShow ? OutsideEvent::ShowRequested : OutsideEvent::EndRequested;
}

void LeaveOwnConsole() {}

}  // namespace pvd
