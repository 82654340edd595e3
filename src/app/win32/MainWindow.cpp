#include "app/win32/MainWindow.h"

#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/instance_lock.h"
#include "platform/win32/text_encoding.h"

namespace pvd {
namespace {

using win32::Utf8;
using win32::Wide;

constexpr const wchar_t* kClassName = kInstanceWindowClass;  // how a second start or --quit finds it
constexpr UINT_PTR kTimer1 = 1, kRecheck = 2;
constexpr UINT kExitRequest = WM_APP + 1;
constexpr UINT kTrayId = 1;

enum ControlId : int {
    kTxtMRN = 101,
    kTxtAccession,
    kTxtStudy,
    kTxtPatient,
    kTxtUserID,
    kTxtXMLFile,
    kCmdXmlFile,
    kCmdLaunch,
    kMnuLaunch = 201,
    kMnuClose,
    kMnuExit,
};

std::wstring WindowText(HWND h) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(h, text.data(), static_cast<int>(text.size()))));
    return text;
}

}  // namespace

MainWindow::MainWindow() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    // The program's own icon (resource 1 of the .exe), for the window and the tray.
    icon_ = LoadIconW(instance, MAKEINTRESOURCEW(1));
    if (!icon_) icon_ = LoadIconW(nullptr, IDI_APPLICATION);
    endRequest_ = InstanceRequestMessage(InstanceRequest::End);
    showRequest_ = InstanceRequestMessage(InstanceRequest::Show);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &MainWindow::WndProc;
    wc.hInstance = instance;
    wc.hIcon = icon_;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);

    menuBar_ = CreateMenu();
    mnuFile_ = CreatePopupMenu();
    AppendMenuW(mnuFile_, MF_STRING, kMnuLaunch, L"Launch File");
    AppendMenuW(mnuFile_, MF_STRING, kMnuClose, L"Close");
    AppendMenuW(mnuFile_, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(mnuFile_, MF_STRING, kMnuExit, L"Exit");
    AppendMenuW(menuBar_, MF_POPUP, reinterpret_cast<UINT_PTR>(mnuFile_), L"File");

    // The program draws itself at the screen's scale (its manifest says so):
    // the layout, measured at 96 dots per inch, grows with it.
    HDC screen = GetDC(nullptr);
    dpi_ = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    if (dpi_ <= 0) dpi_ = 96;
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT r{0, 0, Px(5040), Px(3765)};
    AdjustWindowRectEx(&r, style, TRUE, 0);
    hwnd_ = CreateWindowExW(0, kClassName, L"Form1", style, CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left, r.bottom - r.top,
                            nullptr, menuBar_, instance, this);
    if (!hwnd_) {
        // No display: a message-only window still carries the timer and the
        // watch, so that the order file is followed all the same.
        messageOnly_ = true;
        hwnd_ = CreateWindowExW(0, kClassName, L"Form1", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
        return;
    }
    CreateControls();
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
}

MainWindow::~MainWindow() {
    RemoveTrayIcon();
    if (hwnd_) DestroyWindow(hwnd_);
    if (messageOnly_ || !hwnd_) DestroyMenu(menuBar_);  // otherwise destroyed with its window
    if (font_) DeleteObject(font_);
}

void MainWindow::CreateControls() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    // The layout is measured for an 8-point interface font.
    HDC dc = GetDC(hwnd_);
    const int height = -MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(hwnd_, dc);
    font_ = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"MS Sans Serif");
    auto make = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id, int l, int t, int w, int h) {
        HWND c = CreateWindowExW(std::wcscmp(cls, L"EDIT") == 0 ? WS_EX_CLIENTEDGE : 0, cls, text, WS_CHILD | WS_VISIBLE | style,
                                 Px(l), Px(t), Px(w), Px(h), hwnd_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT)), FALSE);
        return c;
    };
    auto label = [&](const wchar_t* text, int l, int t, int w, int h) {
        HWND c = make(L"STATIC", text, SS_LEFTNOWORDWRAP, -1, l, t, w, h);
        // Fonts differ between systems: a caption wider than its box widens
        // it to the right, where no control stands.
        HDC cdc = GetDC(c);
        HGDIOBJ old = SelectObject(cdc, reinterpret_cast<HGDIOBJ>(SendMessageW(c, WM_GETFONT, 0, 0)));
        SIZE size{};
        GetTextExtentPoint32W(cdc, text, static_cast<int>(std::wcslen(text)), &size);
        SelectObject(cdc, old);
        ReleaseDC(c, cdc);
        if (size.cx > Px(w)) SetWindowPos(c, nullptr, 0, 0, size.cx, Px(h), SWP_NOMOVE | SWP_NOZORDER);
    };
    auto edit = [&](int id, int l, int t, int w, int h, DWORD extra = 0) {
        return make(L"EDIT", L"Text1", WS_TABSTOP | ES_AUTOHSCROLL | extra, id, l, t, w, h);
    };
    // Created in the keyboard order of their tab indexes.
    label(L"MRN", 240, 240, 1215, 255);
    label(L"Accession Number", 2880, 240, 1455, 255);
    label(L"Study", 240, 960, 975, 255);
    label(L"Patient", 2880, 960, 735, 255);
    label(L"User ID", 240, 1680, 975, 255);
    label(L"XML File", 240, 2280, 1575, 255);
    txtMRN_ = edit(kTxtMRN, 240, 480, 1935, 285);
    txtAccession_ = edit(kTxtAccession, 2880, 480, 1935, 285);
    txtStudy_ = edit(kTxtStudy, 240, 1200, 1935, 285);
    txtPatient_ = edit(kTxtPatient, 2880, 1200, 1935, 285);
    cmdLaunch_ = make(L"BUTTON", L"Launch", WS_TABSTOP | BS_PUSHBUTTON, kCmdLaunch, 3720, 3120, 1095, 495);
    // Shows the path; nothing reads it back. A double-click opens the dialog.
    txtXMLFile_ = edit(kTxtXMLFile, 240, 2520, 4095, 375, ES_READONLY);
    SetWindowLongPtrW(txtXMLFile_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    editProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(txtXMLFile_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MainWindow::EditProc)));
    cmdXmlFile_ = make(L"BUTTON", L"...", WS_TABSTOP | BS_PUSHBUTTON, kCmdXmlFile, 4440, 2520, 375, 375);
    txtUserID_ = edit(kTxtUserID, 240, 1920, 1935, 285);
}

LRESULT CALLBACK MainWindow::EditProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    const LRESULT result = CallWindowProcW(self->editProc_, hwnd, msg, wParam, lParam);
    if (msg == WM_LBUTTONDBLCLK && self->form_) self->form_->txtXMLFile_DblClick();
    return result;
}

LRESULT CALLBACK MainWindow::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self || !self->form_) return DefWindowProcW(hwnd, msg, wParam, lParam);
    return self->Handle(msg, wParam, lParam);
}

LRESULT MainWindow::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_MOUSEMOVE:
        // The tray icon reports its clicks as this message, the click in lParam.
        if (wParam == kTrayId && (lParam == kTrayDoubleClick || lParam == kTrayRightButtonUp)) {
            form_->Form_MouseMove(static_cast<int>(lParam));
            return 0;
        }
        break;
    case WM_TIMER:
        if (wParam == kTimer1) {
            Tick();
        } else if (wParam == kRecheck) {
            KillTimer(hwnd_, kRecheck);
            form_->RecheckOrderFile();
        }
        return 0;
    case WM_COMMAND:
        Command(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_CLOSE:
        if (!form_->exiting()) {
            int cancel = 0;
            form_->Form_QueryUnload(cancel, kQueryUnloadFromUser);
            if (!cancel) ::ShowWindow(hwnd_, SW_HIDE);  // the program lives on in the tray
        }
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        if (wParam) form_->mnuExit_Click();
        return 0;
    case kExitRequest:
        if (!form_->exiting()) form_->mnuExit_Click();
        return 0;
    default:
        // --quit, and a second start of the program.
        if (msg == endRequest_) {
            if (!form_->exiting()) form_->mnuExit_Click();
            return 0;
        }
        if (msg == showRequest_) {
            if (!form_->exiting()) form_->Form_MouseMove(kTrayDoubleClick);
            return 0;
        }
        // The notification area was restarted: the icon must be added anew.
        if (taskbarCreated_ && msg == taskbarCreated_ && trayShown_) {
            trayShown_ = false;
            AddTrayIcon(kCaption, kTrayCallbackMessage);
            return 0;
        }
        break;
    }
    return DefWindowProcW(hwnd_, msg, wParam, lParam);
}

void MainWindow::Command(int id, int code) {
    switch (id) {
    case kCmdLaunch: if (code == BN_CLICKED) form_->cmdLaunch_Click(); break;
    case kCmdXmlFile: if (code == BN_CLICKED) form_->cmdXmlFile_Click(); break;
    case kMnuLaunch: form_->mnuLaunch_Click(); break;
    case kMnuClose: form_->mnuClose_Click(); break;
    case kMnuExit: form_->mnuExit_Click(); break;
    case kTxtMRN:
    case kTxtAccession:
    case kTxtStudy:
    case kTxtPatient:
    case kTxtUserID:
        if (code == EN_CHANGE && !settingText_) OrderEdited();
        break;
    default: break;
    }
}

void MainWindow::OrderEdited() {
    form_->SetOrderFields(OrderFields{Utf8(WindowText(txtMRN_)), Utf8(WindowText(txtAccession_)), Utf8(WindowText(txtStudy_)),
                                      Utf8(WindowText(txtPatient_)), Utf8(WindowText(txtUserID_))});
}

void MainWindow::Tick() {
    form_->Timer1_Timer();
    WatchOrderFile();  // the watched file follows the setting
}

void MainWindow::WatchOrderFile() {
    // VANTORA_WATCH=poll leaves the watch to the one-second poll (change
    // notifications do not report changes made by other hosts on a share).
    static const bool pollOnly = [] {
        const char* v = std::getenv("VANTORA_WATCH");
        return v && std::strcmp(v, "poll") == 0;
    }();
    if (!timerOn_ || pollOnly || quitting_) return;
    watchOn_ = watch_.Watch(form_->GetXMLFilename());
}

void MainWindow::OnWatchSignalled() {
    // Loaded at once when its writer has finished with it: no quiet period.
    const std::vector<FileChange> changes = watch_.ReadChanges();
    if (!changes.empty()) form_->OrderFileChanged(changes);
    WatchOrderFile();
}

int MainWindow::Run() {
    MSG msg;
    for (;;) {
        HANDLE event = watchOn_ ? static_cast<HANDLE>(watch_.event()) : nullptr;
        const DWORD n = event ? 1 : 0;
        const DWORD r = MsgWaitForMultipleObjectsEx(n, event ? &event : nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        // A busy folder signals often: the messages waiting are handled on
        // each turn all the same.
        if (n == 1 && r == WAIT_OBJECT_0) OnWatchSignalled();
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
            if (!messageOnly_ && IsDialogMessageW(hwnd_, &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void MainWindow::RequestExit() { PostMessageW(hwnd_, kExitRequest, 0, 0); }

HWND MainWindow::Owner() const { return !messageOnly_ && IsWindowVisible(hwnd_) ? hwnd_ : nullptr; }

void MainWindow::SetCaption(const std::string& caption) { SetWindowTextW(hwnd_, Wide(caption).c_str()); }

void MainWindow::ShowOrderFields(const OrderFields& f) {
    if (messageOnly_) return;
    settingText_ = true;
    SetWindowTextW(txtMRN_, Wide(f.txtMRN).c_str());
    SetWindowTextW(txtAccession_, Wide(f.txtAccession).c_str());
    SetWindowTextW(txtStudy_, Wide(f.txtStudy).c_str());
    SetWindowTextW(txtPatient_, Wide(f.txtPatient).c_str());
    SetWindowTextW(txtUserID_, Wide(f.txtUserID).c_str());
    settingText_ = false;
}

void MainWindow::SetXMLFileText(const std::string& text) {
    if (!messageOnly_) SetWindowTextW(txtXMLFile_, Wide(text).c_str());
}

void MainWindow::SetLaunchEnabled(bool cmdLaunch, bool mnuLaunch) {
    if (cmdLaunch_) EnableWindow(cmdLaunch_, cmdLaunch);
    EnableMenuItem(mnuFile_, kMnuLaunch, MF_BYCOMMAND | (mnuLaunch ? MF_ENABLED : MF_GRAYED));
}

void MainWindow::EnableTimer() {
    SetTimer(hwnd_, kTimer1, 1000, nullptr);
    timerOn_ = true;
    WatchOrderFile();
}

void MainWindow::ShowWindow() {
    if (messageOnly_) return;
    if (IsIconic(hwnd_)) ::ShowWindow(hwnd_, SW_RESTORE);
    ::ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
}

void MainWindow::HideWindow() {
    if (!messageOnly_) ::ShowWindow(hwnd_, SW_HIDE);
}

void MainWindow::MinimizeWindow() {
    if (!messageOnly_) ::ShowWindow(hwnd_, SW_SHOWMINNOACTIVE);
}

void MainWindow::SetWindowStateNormal() {
    if (!messageOnly_ && (IsIconic(hwnd_) || IsZoomed(hwnd_))) ::ShowWindow(hwnd_, SW_RESTORE);
}

// Without a display there is no notification area; with one, Windows
// always has it.
bool MainWindow::TrayAvailable() { return !messageOnly_; }

bool MainWindow::AddTrayIcon(const std::string& tip, int callbackMessage) {
    if (messageOnly_ || trayShown_) return false;  // one icon at most
    // The first version of the record: the one every shell takes.
    NOTIFYICONDATAA nid{};
    nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
    nid.hWnd = hwnd_;
    nid.uID = kTrayId;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = static_cast<UINT>(callbackMessage);
    nid.hIcon = icon_;
    // The tip is ANSI in this record; what the code page lacks becomes '?'.
    const std::wstring wide = Wide(tip);
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nid.szTip, 64, nullptr, nullptr);
    nid.szTip[63] = '\0';
    trayShown_ = Shell_NotifyIconA(NIM_ADD, &nid) != FALSE;
    return trayShown_;
}

void MainWindow::RemoveTrayIcon() {
    if (!trayShown_) return;
    NOTIFYICONDATAA nid{};
    nid.cbSize = NOTIFYICONDATAA_V1_SIZE;
    nid.hWnd = hwnd_;
    nid.uID = kTrayId;
    Shell_NotifyIconA(NIM_DELETE, &nid);
    trayShown_ = false;
}

void MainWindow::PopupFileMenu() {
    if (messageOnly_) return;
    POINT p;
    GetCursorPos(&p);
    // The menu closes when the user clicks elsewhere only if the window is in
    // the foreground, and the posted message lets it close at once.
    SetForegroundWindow(hwnd_);
    TrackPopupMenu(mnuFile_, TPM_RIGHTBUTTON, p.x, p.y, 0, hwnd_, nullptr);
    PostMessageW(hwnd_, WM_NULL, 0, 0);
}

std::optional<std::string> MainWindow::ShowOpenDialog(const std::string& title, const std::string& filter, int flags,
                                                      const std::string& initialFile) {
    // "Label|pattern|..." becomes the dialog's NUL-separated pairs.
    std::wstring filters = Wide(filter);
    for (wchar_t& c : filters)
        if (c == L'|') c = L'\0';
    filters.append(2, L'\0');
    std::wstring file = Wide(initialFile);
    file.resize(std::max<std::size_t>(file.size() + 1, 32768), L'\0');
    const std::wstring caption = Wide(title);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = Owner();
    ofn.lpstrFilter = filters.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrTitle = caption.c_str();
    ofn.Flags = static_cast<DWORD>(flags);
    if (!GetOpenFileNameW(&ofn)) return std::nullopt;
    file.resize(std::wcslen(file.c_str()));
    return Utf8(file);
}

void MainWindow::ShowMessage(const std::string& text) {
    MessageBoxW(Owner(), Wide(text).c_str(), Wide(kCaption).c_str(), MB_OK);
}

void MainWindow::ScheduleRecheck(int ms) { SetTimer(hwnd_, kRecheck, static_cast<UINT>(std::max(ms, 1)), nullptr); }

void MainWindow::Quit() {
    quitting_ = true;
    KillTimer(hwnd_, kTimer1);
    KillTimer(hwnd_, kRecheck);
    timerOn_ = false;
    watchOn_ = false;
    if (!messageOnly_) ::ShowWindow(hwnd_, SW_HIDE);
    PostQuitMessage(0);
}

}  // namespace pvd
