// Special folders on Windows, as the shell names them.
#include "platform/special_folders.h"

#include <windows.h>

#include <shlobj.h>

#include "platform/win32/text_encoding.h"

namespace pvd {

std::string GetSpecialFolder(int csidl) {
    if (csidl != CSIDL_PERSONAL && csidl != CSIDL_PROFILE) return {};
    PIDLIST_ABSOLUTE pidl = nullptr;
    if (SHGetSpecialFolderLocation(nullptr, csidl, &pidl) != S_OK || !pidl) return {};
    wchar_t buf[MAX_PATH] = {};
    const bool ok = SHGetPathFromIDListW(pidl, buf);
    CoTaskMemFree(pidl);
    if (!ok) return {};
    std::string p = win32::Utf8(buf);
    // No separator at the end, except at a drive root ("C:\").
    while (p.size() > 3 && p.back() == '\\') p.pop_back();
    return p;
}

}  // namespace pvd
