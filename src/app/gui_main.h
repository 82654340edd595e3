#pragma once

namespace pvd {

// Runs the tray program until "Exit", the end of the session or a request to
// stop. With show, the window opens at start-up. Each platform's view
// provides it (qt/ on Linux, win32/ on Windows).
int RunGui(int& argc, char** argv, bool show);

}  // namespace pvd
