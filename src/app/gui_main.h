#pragma once

namespace pvd {

// Runs the tray program until "Exit", the end of the session or a request to
// stop. With show, the window opens at start-up. Each platform's view
// provides it (qt/ on Linux, win32/ on Windows).
int RunGui(int& argc, char** argv, bool show);

// --quit: asks the running tray program to end and waits up to timeoutMs
// for it to have ended. 0 when it has ended or none ran, 1 when it still
// runs (the reason on standard error).
int QuitRunningInstance(int timeoutMs);

}  // namespace pvd
