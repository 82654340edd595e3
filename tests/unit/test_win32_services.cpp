// The Win32 halves of the platform services, against the real registry,
// shell and file system (under Wine in CI).
#include <gtest/gtest.h>

#include <windows.h>

#include <random>

#include "fileutil/FileFunctions.h"
#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/file_watch.h"
#include "platform/instance_lock.h"
#include "platform/process.h"
#include "settings/EnvironmentFunction.h"
#include "settings/registry.h"
#include "settings/systemRegKeys.h"
#include "platform/win32/text_encoding.h"
#include "child_process.h"
#include "test_support.h"

namespace pvd {
namespace {

using test::TempDir;
using win32::Wide;

// A registry key of its own under HKEY_CURRENT_USER, removed afterwards.
class ScratchKey {
public:
    explicit ScratchKey(std::string parent = "Software\\PvdTest")
        : path_(std::move(parent) + "\\k" + std::to_string(std::random_device{}())) {
        RegCreateKeyExW(HKEY_CURRENT_USER, Wide(path_).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    }
    ~ScratchKey() {
        RegCloseKey(key_);
        RegDeleteTreeW(HKEY_CURRENT_USER, Wide(path_).c_str());
    }
    void Set(const std::wstring& name, DWORD type, const void* data, std::size_t size) const {
        ASSERT_EQ(RegSetValueExW(key_, name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)), ERROR_SUCCESS);
    }
    void SetText(const std::wstring& name, DWORD type, const std::wstring& text) const {
        Set(name, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    HKEY key_ = nullptr;
};

TEST(Win32Registry, ValuesReadByTheirTypeWithTextAsUtf8) {
    ScratchKey key;
    key.SetText(L"sz", REG_SZ, L"Zo\u00eb \u674e");
    key.SetText(L"expand", REG_EXPAND_SZ, L"%TEMP%\\x");  // never expanded
    const DWORD dword = 0xFFFFFFFE;
    key.Set(L"dword", REG_DWORD, &dword, sizeof dword);
    const wchar_t multi[] = L"a\0b\0";
    key.Set(L"multi", REG_MULTI_SZ, multi, sizeof multi);
    const unsigned char bin[] = {0, 1, 0xFF};
    key.Set(L"bin", REG_BINARY, bin, sizeof bin);
    const wchar_t nul[] = L"C:\\a\0C:\\b";  // what follows a NUL never reaches a path
    key.Set(L"nul", REG_SZ, nul, sizeof nul);
    key.SetText(L"long", REG_SZ, std::wstring(2000, L'x'));  // beyond any first guess of the size

    auto read = [&](const char* name) { return ReadRegistryValue(RegistryRoot::CurrentUser, key.path(), name, std::string("fallback")); };
    EXPECT_EQ(std::get<std::string>(read("sz")), "Zo\xC3\xAB \xE6\x9D\x8E");
    EXPECT_EQ(std::get<std::string>(read("EXPAND")), "%TEMP%\\x");  // names without regard to case
    EXPECT_EQ(std::get<std::int32_t>(read("dword")), -2);
    EXPECT_EQ(std::get<std::string>(read("multi")), std::string("a\0b", 3));
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(read("bin")), (std::vector<std::uint8_t>{0, 1, 0xFF}));
    EXPECT_EQ(std::get<std::string>(read("nul")), "C:\\a");
    EXPECT_EQ(std::get<std::string>(read("long")), std::string(2000, 'x'));
    EXPECT_EQ(std::get<std::string>(read("missing")), "fallback");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::CurrentUser, key.path() + "\\none", "sz"), "");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::CurrentUser, key.path(), "dword"), "");  // not text
    // A NUL inside ends a Windows name early: no path at all.
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::CurrentUser, key.path(), "nul"), "");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::CurrentUser, key.path(), "multi"), "");
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::CurrentUser, key.path(), "expand"), "%TEMP%\\x");
}

TEST(Win32Registry, MappedDriveRemotePathComesFromTheUsersNetworkKey) {
    // HKEY_CURRENT_USER\Network\<letter> RemotePath; Q: is mapped nowhere else.
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Network\\Q", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
    const std::wstring remote = L"\\\\server\\share";
    RegSetValueExW(k, L"RemotePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(remote.c_str()),
                   static_cast<DWORD>((remote.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
    EXPECT_EQ(GetMappedDriveRemotePath("Q:\\Drafts"), "\\\\server\\share");
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Network\\Q");
    EXPECT_EQ(GetMappedDriveRemotePath("Q:\\Drafts"), "");
}

TEST(Win32Settings, StoredAsTextUnderTheFamilysSettingsKey) {
    const std::string app = "PvdTest" + std::to_string(std::random_device{}());
    ResetSettingsState();
    SetSettingsAppName(app);
    EXPECT_EQ(SettingsFileName(), "HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\" + app);
    EXPECT_EQ(GetDefaultSetting("Default Path", "none"), "none");
    ASSERT_TRUE(SaveDefaultSetting("Default Path", "C:\\Zo\xC3\xAB"));
    EXPECT_EQ(GetDefaultSetting("Default Path", "none"), "C:\\Zo\xC3\xAB");
    // Where and how the settings functions of the family read it.
    const std::wstring key = L"Software\\VB and VBA Program Settings\\" + Wide(app) + L"\\Defaults";
    wchar_t buf[64] = {};
    DWORD size = sizeof buf, type = 0;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Default Path", RRF_RT_ANY, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::wstring(buf), L"C:\\Zo\u00eb");
    RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\VB and VBA Program Settings\\" + Wide(app)).c_str());
    ResetSettingsState();
}

TEST(Win32Places, SpecialFoldersDrivesAndBuiltInPlaces) {
    for (int csidl : {5, 40}) {
        const std::string folder = GetSpecialFolder(csidl);
        ASSERT_FALSE(folder.empty()) << csidl;
        EXPECT_NE(folder.back(), '\\') << folder;
        EXPECT_TRUE(FolderExistsQuiet(folder)) << folder;
    }
    EXPECT_EQ(GetSpecialFolder(26), "");
    EXPECT_EQ(GetPathDriveType("C:\\no\\such\\folder"), kDriveFixed);
    EXPECT_EQ(GetPathDriveType("\\\\server\\share\\x"), kDriveNetwork);
    EXPECT_TRUE(IsFixedDrive("C:\\VnFiles"));
    EXPECT_EQ(BuiltInDictationRoot(), "C:\\VnFiles");
    EXPECT_EQ(kPathSeparator, '\\');
    test::ScopedEnv env;
    env.set("TEMP", std::nullopt);
    const std::string temp = GetEnv("TEMP");  // the system's temporary folder
    EXPECT_TRUE(FolderExistsQuiet(temp)) << temp;
    EXPECT_NE(temp.back(), '\\');
}

// The dictation root's sources are tested under Wine with the settings suite.
TEST(Win32Places, TheProfileAndTemporaryFoldersBelowAppDataAndTemp) {
    const std::string app = "PvdTest" + std::to_string(std::random_device{}());
    ResetSettingsState();
    SetSettingsAppName(app);
    test::ScopedEnv env;
    env.set("VNPROFILE", std::nullopt).set("APPDATA", "C:\\AppData").set("TEMP", "C:\\Temp");
    EXPECT_EQ(GetProfilePathFilename(), "C:\\AppData\\Vantora\\VNRecorder\\recorder.pfl");
    EXPECT_EQ(ProgramTempFolder(), "C:\\Temp\\Vantora\\VNRecorder");
    ResetSettingsState();
}

TEST(Win32Files, IdentityFollowsEveryNewVersionAndTheLockOneHolder) {
    TempDir dir;
    const std::string path = dir / "order.xml", other = dir / "next.xml";
    test::WriteFile(path, "one");
    const FileIdentity first = StatFileIdentity(path);
    ASSERT_TRUE(first.exists && first.regular);
    EXPECT_EQ(StatFileIdentity(path), first);
    test::WriteFile(other, "two");
    ASSERT_TRUE(MoveFileExW(Wide(other).c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING));
    const FileIdentity moved = StatFileIdentity(path);
    EXPECT_NE(moved.fileId, first.fileId);  // a file moved over it is another file
    EXPECT_FALSE(StatFileIdentity(dir / "absent").exists);
    ASSERT_TRUE(WriteFileAtomically(path, "three"));
    EXPECT_EQ(test::ReadFile(path), "three");

    // The recorder is started by its full path only, and a missing one is reported.
    EXPECT_FALSE(StartDetached("recorder.exe", "open" + path).started);
    const ProcessStart missing = StartDetached(dir / "no-recorder.exe", "open" + path);
    EXPECT_FALSE(missing.started);
    EXPECT_FALSE(missing.reason.empty());

    InstanceLock a(dir / "lock"), b(dir / "lock");
    EXPECT_EQ(a.TryAcquire(), InstanceLock::State::Acquired);
    EXPECT_EQ(b.TryAcquire(), InstanceLock::State::HeldByAnother);
    {
        InstanceLock c(dir / "lock2");
        EXPECT_EQ(c.TryAcquire(), InstanceLock::State::Acquired);
    }
    InstanceLock d(dir / "lock2");
    EXPECT_EQ(d.TryAcquire(), InstanceLock::State::Acquired);  // released with its holder
    // The tray program's named mutex, the same way.
    const std::string name = "Local\\pvd-test-" + std::to_string(GetCurrentProcessId());
    {
        InstanceLock m(name), n(name);
        EXPECT_EQ(m.TryAcquire(), InstanceLock::State::Acquired);
        EXPECT_EQ(n.TryAcquire(), InstanceLock::State::HeldByAnother);
    }
    InstanceLock o(name);
    EXPECT_EQ(o.TryAcquire(), InstanceLock::State::Acquired);
}

// A change is complete only once its writer has let go of the file (a
// writer's handle does not share writing); a version moved into place is.
TEST(Win32FileWatch, CompleteOnlyOnceTheWriterLetsGoOrWhenMovedIntoPlace) {
    TempDir dir;
    const std::string path = dir / "order.xml";
    test::WriteFile(path, "one");
    FileWatch watch;
    ASSERT_TRUE(watch.Watch(path));
    auto next = [&] {
        EXPECT_EQ(WaitForSingleObject(static_cast<HANDLE>(watch.event()), 10000), WAIT_OBJECT_0);
        std::vector<FileChange> all;
        // Everything that came in a moment, as one batch.
        do {
            for (FileChange c : watch.ReadChanges()) all.push_back(c);
        } while (WaitForSingleObject(static_cast<HANDLE>(watch.event()), 300) == WAIT_OBJECT_0);
        return all;
    };

    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "two", 3, &n, nullptr));
    std::vector<FileChange> seen = next();
    ASSERT_FALSE(seen.empty());
    for (FileChange c : seen) EXPECT_EQ(c, FileChange::Modified);  // still held by its writer
    EXPECT_EQ(FileWriterState(path), WriterState::Writing);
    CloseHandle(h);
    EXPECT_EQ(FileWriterState(path), WriterState::None);

    // Another file of the folder is no change of this one.
    test::WriteFile(dir / "other.xml", "x");
    test::WriteFile(dir / "next.tmp", "three");
    ASSERT_TRUE(MoveFileExW(Wide(dir / "next.tmp").c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING));
    seen = next();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), FileChange::Complete);
    ASSERT_TRUE(watch.Watch(path));
    EXPECT_EQ(WaitForSingleObject(static_cast<HANDLE>(watch.event()), 300), WAIT_TIMEOUT);  // nothing more
}

// The watched folder deleted (by a PACS clearing it) must really go, so that
// its name can be made anew: a folder deleted while a handle to it is open
// stays until that handle is closed. The watch lets go of it by its next
// call (the program makes one at each tick), and takes up the folder made
// anew, and one moved into its place after a rename.
TEST(Win32FileWatch, LetsGoOfADeletedFolderAndWatchesTheOneMadeAnew) {
    TempDir dir;
    // cmd takes a "/" for the start of a switch.
    const std::string folder = std::filesystem::path(dir / "orders").make_preferred().string(), path = folder + "\\order.xml";
    const std::wstring wfolder = Wide(folder);
    ASSERT_TRUE(CreateDirectoryW(wfolder.c_str(), nullptr));
    test::WriteFile(path, "one");
    FileWatch watch;
    ASSERT_TRUE(watch.Watch(path));
    // What the program does on each notification and tick.
    auto tick = [&] {
        while (watch.event() && WaitForSingleObject(static_cast<HANDLE>(watch.event()), 100) == WAIT_OBJECT_0) {
            watch.ReadChanges();
            watch.Watch(path);
        }
        return watch.Watch(path);
    };
    auto seesAWrite = [&](const std::string& text) {
        test::WriteFile(path, text);
        if (!watch.event() || WaitForSingleObject(static_cast<HANDLE>(watch.event()), 10000) != WAIT_OBJECT_0) return false;
        std::vector<FileChange> all;
        do {
            for (FileChange c : watch.ReadChanges()) all.push_back(c);
        } while (WaitForSingleObject(static_cast<HANDLE>(watch.event()), 300) == WAIT_OBJECT_0);
        return !all.empty() && all.back() == FileChange::Complete;
    };
    wchar_t system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::string cmd = win32::Utf8(system) + "\\cmd.exe";

    // Removed by another process with the order file in it; then removed
    // empty, with no change of the order file to tell of it.
    for (bool withOrder : {true, false}) {
        SCOPED_TRACE(withOrder ? "removed with the order file in it" : "removed empty");
        if (!withOrder) {
            ASSERT_TRUE(DeleteFileW(Wide(path).c_str()));
            tick();
        }
        const test::RunResult r = test::Run({cmd, "/c", "rmdir", "/s", "/q", folder}, dir.path().string());
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_FALSE(tick());  // nothing there to watch
        EXPECT_EQ(GetFileAttributesW(wfolder.c_str()), INVALID_FILE_ATTRIBUTES) << "the deleted folder is still there";
        ASSERT_TRUE(CreateDirectoryW(wfolder.c_str(), nullptr)) << "error " << GetLastError();
        ASSERT_TRUE(tick());
        EXPECT_TRUE(seesAWrite("two"));
    }

    // Renamed away, and another folder with an order file in it moved into
    // its place: that file is reported, and the new folder watched.
    const std::string other = dir / "other";
    ASSERT_TRUE(CreateDirectoryW(Wide(other).c_str(), nullptr));
    test::WriteFile(other + "\\order.xml", "three");
    ASSERT_TRUE(MoveFileExW(wfolder.c_str(), Wide(dir / "old").c_str(), 0));
    ASSERT_TRUE(MoveFileExW(Wide(other).c_str(), wfolder.c_str(), 0));
    ASSERT_TRUE(watch.Watch(path));
    ASSERT_EQ(WaitForSingleObject(static_cast<HANDLE>(watch.event()), 1000), WAIT_OBJECT_0);
    EXPECT_EQ(watch.ReadChanges(), std::vector<FileChange>{FileChange::Complete});
    EXPECT_TRUE(seesAWrite("four"));
}

}  // namespace
}  // namespace pvd
