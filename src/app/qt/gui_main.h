#pragma once

namespace pvd {

// Runs the tray program until "Exit", SIGTERM, SIGINT or the end of the
// session. With show, the window opens at start-up.
int RunGui(int& argc, char** argv, bool show);

}  // namespace pvd
