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
#include "machine_registry.h"
#include "test_support.h"

namespace pvd {
namespace {

using test::TempDir;
using win32::Wide;

// Text as the registry holds it: UTF-16LE with its closing NUL.
std::string Utf16z(const std::wstring& w) { return {reinterpret_cast<const char*>(w.c_str()), (w.size() + 1) * sizeof(wchar_t)}; }

// A registry key of its own under HKEY_CURRENT_USER, removed afterwards.
struct ScratchKey {
    const std::string path = "Software\\PvdTest\\k" + std::to_string(std::random_device{}());
    ~ScratchKey() { RegDeleteTreeW(HKEY_CURRENT_USER, Wide(path).c_str()); }
    void Set(const std::string& name, DWORD type, const std::string& bytes) const {
        ASSERT_TRUE(test::SetUserData(path, name, type, bytes)) << name;
    }
};

TEST(Win32Registry, ValuesReadByTheirTypeWithTextAsUtf8) {
    ScratchKey key;
    key.Set("sz", REG_SZ, Utf16z(L"Zo\u00eb \u674e"));
    key.Set("expand", REG_EXPAND_SZ, Utf16z(L"%TEMP%\\x"));  // never expanded
    key.Set("dword", REG_DWORD, std::string("\xFE\xFF\xFF\xFF", 4));
    key.Set("multi", REG_MULTI_SZ, Utf16z(std::wstring(L"a\0b\0", 4)));
    key.Set("bin", REG_BINARY, std::string("\0\x01\xFF", 3));
    key.Set("nul", REG_SZ, Utf16z(std::wstring(L"C:\\a\0C:\\b", 9)));  // what follows a NUL never reaches a path
    key.Set("long", REG_SZ, Utf16z(std::wstring(2000, L'x')));  // beyond any first guess of the size

    // Names match without regard to case.
    const std::pair<const char*, RegistryResult> values[] = {
        {"sz", std::string("Zo\xC3\xAB \xE6\x9D\x8E")}, {"EXPAND", std::string("%TEMP%\\x")}, {"dword", std::int32_t{-2}},
        {"multi", std::string("a\0b", 3)}, {"bin", std::vector<std::uint8_t>{0, 1, 0xFF}}, {"nul", std::string("C:\\a")},
        {"long", std::string(2000, 'x')}, {"missing", std::string("fallback")}};
    for (const auto& [name, value] : values)
        EXPECT_EQ(ReadRegistryValue(RegistryRoot::CurrentUser, key.path, name, std::string("fallback")), value) << name;
    EXPECT_EQ(ReadRegistryPath(RegistryRoot::CurrentUser, key.path + "\\none", "sz"), "");
    // Not text, or with a NUL inside, which ends a Windows name early: no path at all.
    for (const auto& [name, path] : {std::pair{"dword", ""}, {"nul", ""}, {"multi", ""}, {"expand", "%TEMP%\\x"}})
        EXPECT_EQ(ReadRegistryPath(RegistryRoot::CurrentUser, key.path, name), path) << name;
}

TEST(Win32Registry, MappedDriveRemotePathComesFromTheUsersNetworkKey) {
    // HKEY_CURRENT_USER\Network\<letter> RemotePath; Q: is mapped nowhere else.
    ASSERT_TRUE(test::SetUserData("Network\\Q", "RemotePath", REG_SZ, Utf16z(L"\\\\server\\share")));
    EXPECT_EQ(GetMappedDriveRemotePath("Q:\\Drafts"), "\\\\server\\share");
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Network\\Q");
    EXPECT_EQ(GetMappedDriveRemotePath("Q:\\Drafts"), "");
}

// Where the settings live, as --paths names them. That they are stored there
// as REG_SZ, text in UTF-16, is asserted by SettingsStore's tests in the
// settings suite, which read them back from the registry on Windows.
TEST(Win32Settings, StoredUnderTheFamilysSettingsKey) {
    ResetSettingsState();
    SetSettingsAppName("PvdTest");
    EXPECT_EQ(SettingsFileName(), "HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\PvdTest");
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
    EXPECT_TRUE(IsFixedDrive("C:\\VnFiles"));
    test::ScopedEnv env;
    env.set("TEMP", std::nullopt);
    const std::string temp = GetEnv("TEMP");  // the system's temporary folder
    EXPECT_TRUE(FolderExistsQuiet(temp)) << temp;
    EXPECT_NE(temp.back(), '\\');
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
    EXPECT_NE(StatFileIdentity(path).fileId, first.fileId);  // a file moved over it is another file
    EXPECT_FALSE(StatFileIdentity(dir / "absent").exists);
    ASSERT_TRUE(WriteFileAtomically(path, "three"));
    EXPECT_EQ(test::ReadFile(path), "three");

    // The recorder is started by its full path only, and a missing one is reported.
    EXPECT_FALSE(StartDetached("recorder.exe", "open" + path).started);
    const ProcessStart missing = StartDetached(dir / "no-recorder.exe", "open" + path);
    EXPECT_FALSE(missing.started);
    EXPECT_FALSE(missing.reason.empty());

    // The file lock, and the tray program's named mutex: one holder at a
    // time, released with it.
    for (const std::string& name : {dir / "lock", "Local\\pvd-test-" + std::to_string(GetCurrentProcessId())}) {
        SCOPED_TRACE(name);
        {
            InstanceLock a(name), b(name);
            EXPECT_EQ(a.TryAcquire(), InstanceLock::State::Acquired);
            EXPECT_EQ(b.TryAcquire(), InstanceLock::State::HeldByAnother);
        }
        InstanceLock c(name);
        EXPECT_EQ(c.TryAcquire(), InstanceLock::State::Acquired);
    }
}

// Everything that came in a moment once the watch tells of a change, as one
// batch; nothing when no change came within the timeout.
std::vector<FileChange> NextBatch(FileWatch& watch) {
    std::vector<FileChange> all;
    if (!watch.event() || WaitForSingleObject(static_cast<HANDLE>(watch.event()), 10000) != WAIT_OBJECT_0) return all;
    do {
        for (FileChange c : watch.ReadChanges()) all.push_back(c);
    } while (WaitForSingleObject(static_cast<HANDLE>(watch.event()), 300) == WAIT_OBJECT_0);
    return all;
}

// A change is complete only once its writer has let go of the file (a
// writer's handle does not share writing); a version moved into place is.
TEST(Win32FileWatch, CompleteOnlyOnceTheWriterLetsGoOrWhenMovedIntoPlace) {
    TempDir dir;
    const std::string path = dir / "order.xml";
    test::WriteFile(path, "one");
    FileWatch watch;
    ASSERT_TRUE(watch.Watch(path));
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "two", 3, &n, nullptr));
    std::vector<FileChange> seen = NextBatch(watch);
    ASSERT_FALSE(seen.empty());
    for (FileChange c : seen) EXPECT_EQ(c, FileChange::Modified);  // still held by its writer
    EXPECT_EQ(FileWriterState(path), WriterState::Writing);
    CloseHandle(h);
    EXPECT_EQ(FileWriterState(path), WriterState::None);

    // Another file of the folder is no change of this one.
    test::WriteFile(dir / "other.xml", "x");
    test::WriteFile(dir / "next.tmp", "three");
    ASSERT_TRUE(MoveFileExW(Wide(dir / "next.tmp").c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING));
    seen = NextBatch(watch);
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
        const std::vector<FileChange> all = NextBatch(watch);
        return !all.empty() && all.back() == FileChange::Complete;
    };
    const std::string cmd = GetEnv("ComSpec");  // the command prompt
    ASSERT_FALSE(cmd.empty());

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
