// The Windows build has no window or tray yet (they come with the installer):
// started without a command, it says so instead of running unseen.
#include <iostream>

#include "app/gui_main.h"

namespace pvd {

int RunGui(int&, char**, bool) {
    std::cerr << "pacs-vantora-driver: this build has no window yet; use --help for the commands it runs\n";
    return 2;
}

}  // namespace pvd
