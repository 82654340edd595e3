// Where things live: the precedence of every location lookup, and the file helpers.
#include <gtest/gtest.h>

#include <sstream>

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/text_encoding.h"
#else
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include "platform/posix/statfs_drive_type.h"
#endif

#include "app/activity_log.h"
#include "app/cli.h"
#include "app/order_file.h"
#include "app/system_services.h"
#include "dictation/StartVNR.h"
#include "fileutil/FileFunctions.h"
#include "platform/environment.h"
#include "platform/registry.h"
#include "settings/EnvironmentFunction.h"
#include "settings/registry.h"
#include "settings_fixture.h"

namespace pvd {
namespace {

using test::NativePath;
using test::WriteFile;

constexpr const char* kKey = "SOFTWARE\\Vantora\\VNRecorder";

// Sets a file's modification time, in nanoseconds since 1970.
void SetModifiedNs(const std::string& file, std::int64_t ns) {
#ifdef _WIN32
    const std::uint64_t ticks = static_cast<std::uint64_t>(ns / 100) + 116444736000000000ULL;  // 100 ns since 1601
    const FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    HANDLE h = CreateFileW(win32::Wide(file).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);
#else
    const struct timespec times[2] = {{0, UTIME_OMIT}, {ns / 1'000'000'000, ns % 1'000'000'000}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
#endif
}

class Paths : public test::ScratchHome {};

// The profile folder, and below it the application data folder, each falls
// through its sources.
TEST_F(Paths, ProfileFolderRegistryThenEnvironmentThenAppDataThenItsOwnSources) {
    env.set("VNPROFILE", dir / "other");
    PutMachineValue(kKey, "VNPROFILE", NativePath(dir / "prof/"));
    PathSource source;
    EXPECT_EQ(GetProfileFolder("VNRecorder", &source), NativePath(dir / "prof/"));  // used exactly as stored
    EXPECT_EQ(source.text, "registry HKEY_LOCAL_MACHINE\\" + std::string(kKey) + " VNPROFILE" + test::kRegistryView);
    EXPECT_FALSE(ProfileFolderOverrideExists("VNRecorder"));  // it does not exist

    PutMachineValue(kKey, "VNPROFILE", "");  // empty counts as unset
    EXPECT_EQ(GetProfileFolder("VNRecorder"), NativePath(dir / "other/VNRecorder"));
    env.set("VNPROFILE", NativePath(dir / "other/"));
    EXPECT_EQ(GetProfileFolder("VNRecorder"), NativePath(dir / "other/VNRecorder"));
    EXPECT_FALSE(ProfileFolderOverrideExists("VNRecorder"));
    std::filesystem::create_directories(dir.path() / "other" / "VNRecorder");
    EXPECT_TRUE(ProfileFolderOverrideExists("VNRecorder"));

    env.set("VNPROFILE", "").set("APPDATA", dir / "appdata");
    EXPECT_EQ(GetProfileFolder("VNRecorder"), NativePath(dir / "appdata/Vantora/VNRecorder"));
    EXPECT_EQ(GetAppDataFolder("VNRecorder"), NativePath(dir / "appdata/Vantora/VNRecorder"));
    EXPECT_FALSE(ProfileFolderOverrideExists("VNRecorder"));
#ifndef _WIN32
    // On POSIX the XDG folder answers for an unset APPDATA (empty counts as unset).
    env.set("APPDATA", "");
    EXPECT_EQ(GetAppDataFolder("VNRecorder"), dir / "config/Vantora/VNRecorder");
    env.set("XDG_CONFIG_HOME", "").set("HOME", "");
#endif
    env.set("APPDATA", "").set("USERPROFILE", dir / "ann");
    EXPECT_EQ(GetAppDataFolder("VNRecorder"), NativePath(dir / "ann/Vantora/VNRecorder"));
    env.set("USERPROFILE", "");
    EXPECT_EQ(GetAppDataFolder("VNRecorder"), ExecutableFolder());
}

TEST_F(Paths, DictationRootAndOrderFilePrecedence) {
    // On Windows the documents folder is the Wine prefix's own: left as found.
    const std::string docsRoot = Documents() + kPathSeparator + "VnFiles";
    const bool docsRootExisted = FolderExistsQuiet(docsRoot);
    if (!docsRootExisted) {
        // The built-in root when nothing is configured and documents has no VnFiles.
        const bool builtInExisted = FolderExistsQuiet(BuiltInRoot());
        EXPECT_EQ(GetDictationRootFolder(), BuiltInRoot());
        EXPECT_EQ(FolderExistsQuiet(BuiltInRoot()), builtInExisted);  // never created
        std::filesystem::create_directories(docsRoot);
    }
    EXPECT_EQ(GetDictationRootFolder(), docsRoot);

    env.set("VNFILES_PATH", NativePath(dir / "vnfiles"));
    EXPECT_EQ(GetDictationRootFolder(), NativePath(dir / "vnfiles"));

    // Only the current profile's own section holds the root: here "recorder",
    // the default profile file's name.
    PutUserSetting("Defaults", "Default Path", NativePath(dir / "defaults-section"));
    EXPECT_EQ(GetDictationRootFolder(), NativePath(dir / "vnfiles"));
    PutUserSetting("recorder", "Default Path", NativePath("<USERNAME>/Dictation"));
    EXPECT_EQ(GetDictationRootFolder(), UserHome() + NativePath("/Dictation"));
    EXPECT_EQ(GetDraftsFolder(), UserHome() + NativePath("/Dictation/Drafts"));
    // The order file follows the drafts folder, and the setting, at every call.
    EXPECT_EQ(GetXMLFilename(), UserHome() + NativePath("/Dictation/Drafts/ridavaruz.xml"));
    PutUserSetting("Defaults", "XMLDataPath", "  /srv/pacs/order.xml ");
    EXPECT_EQ(GetXMLFilename(), "/srv/pacs/order.xml");

    PutMachineValue(kKey, "WorkingDirectory", NativePath("/srv/dict"));
    PathSource source;
    EXPECT_EQ(GetDraftsFolder(&source), NativePath("/srv/dict/Drafts"));
    EXPECT_NE(source.text.find("registry"), std::string::npos);
    if (!docsRootExisted) std::filesystem::remove(docsRoot);
}

TEST_F(Paths, RootOffTheLocalDiskFallsBackUnlessTheUserStoredIt) {
#ifdef _WIN32
    // A network share, and a drive letter with no drive behind it.
    const std::vector<std::string> offDisk = {"\\\\server\\share\\vnfiles", "R:\\vnfiles"};
#else
    struct statfs fs{};
    if (statfs("/dev/shm", &fs) != 0 || DriveTypeOfFileSystem(static_cast<std::int64_t>(fs.f_type)) == kDriveFixed)
        GTEST_SKIP() << "no RAM disk at /dev/shm to stand for a drive that is not fixed";
    const std::vector<std::string> offDisk = {"/dev/shm/vnfiles"};
#endif
    for (const std::string& root : offDisk) {
        env.set("VNFILES_PATH", root);
        EXPECT_EQ(GetDictationRootFolder(), BuiltInRoot()) << root;
    }
    PutUserSetting("recorder", "Default Path", offDisk.front());
    EXPECT_EQ(GetDictationRootFolder(), offDisk.front());
    // An empty stored root names no folder at all, on no drive.
    PutUserSetting("recorder", "Default Path", "");
    EXPECT_EQ(GetDictationRootFolder(), BuiltInRoot());
}

// Machine policy beats every other source of the same setting, the user's
// own included; a policy value that cannot be used is ignored whole, said
// once, and the next source answers as if it were not set.
class Policy : public Paths {
protected:
    void SetUp() override {
        Paths::SetUp();
        // Every other source of each setting, in the user's and the machine's stores.
        PutUserSetting("Defaults", "XMLDataPath", NativePath(dir / "user/order.xml"));
        PutUserSetting("recorder", "Default Path", NativePath(dir / "user/root"));
        PutUserSetting("Defaults", "ProfilePathFilename", NativePath(dir / "user/ann.pfl"));
        PutMachineValue(kKey, "WorkingDirectory", NativePath(dir / "machine/root"));
        PutMachineValue(kKey, "VNPROFILE", NativePath(dir / "machine/profiles"));
        PutMachineValue("SOFTWARE\\Vantora\\VNR", "PATH", NativePath(dir / "machine/recorder"));
        std::filesystem::create_directories(dir.path() / "machine" / "profiles");
        std::filesystem::create_directories(dir.path() / "policy" / "profiles");
    }
    static std::string Dword(std::uint32_t n) { return {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16), static_cast<char>(n >> 24)}; }
    // A setting as the program resolves it, and where it came from.
    static std::string With(const std::string& value, const PathSource& source) { return value + " | " + source.text; }
    std::vector<std::string> Resolved() {
        PathSource xml, root, recorder, profile;
        return {With(GetXMLFilename(&xml), xml), With(GetDictationRootFolder(&root), root), With(GetVNRPath(&recorder), recorder),
                With(GetProfileFolder("VNRecorder", &profile), profile), GetProfilePathFilename()};
    }
    const std::string& view = test::kRegistryView;
    const std::string policy = "policy HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Vantora\\VNRecorder ";
    const std::string key = "SOFTWARE\\Policies\\Vantora\\VNRecorder";
};

TEST_F(Policy, BeatsEveryOtherSourceOfItsSetting) {
    // Each location from its policy, as --paths shows it with its source; and
    // the journal's true source.
    std::vector<std::string> lines{"profile file: " + NativePath(dir / "policy/profiles/ann.pfl"),
#ifdef _WIN32
                                   "launch journal: " + GetRawEnv("LOCALAPPDATA") + "\\Vantora\\VNRecorder\\journal.jsonl  (environment LOCALAPPDATA)"
#else
                                   "launch journal: " + (dir / "state/Vantora/VNRecorder/journal.jsonl") + "  (environment XDG_STATE_HOME)",
                                   "machine registry file: " + RegistryLocation(RegistryRoot::LocalMachine) + "  (environment VANTORA_MACHINE_REGISTRY)",
                                   "user registry file: " + RegistryLocation(RegistryRoot::CurrentUser)  // the user's own: no source to name
#endif
    };
    for (const auto& [name, label, place] : {std::tuple{"XMLDataPath", "xml file", "order.xml"},
                                             {"WorkingDirectory", "dictation root", "root"}, {"RecorderPath", "recorder", "recorder"},
                                             {"VNPROFILE", "profile folder", "profiles"}}) {
        PutMachineValue(key, name, NativePath(dir / "policy/" + place));
        lines.push_back(std::string(label) + ": " + NativePath(dir / "policy/" + place) + "  (" + policy + name + view + ")");
    }
    EXPECT_EQ(GetDraftsFolder(), NativePath(dir / "policy/root/Drafts"));
    std::ostringstream out, err;
    ASSERT_EQ(RunCommandLine({"--paths"}, out, err), 0);
    for (const std::string& line : lines) EXPECT_NE(out.str().find(line + "\n"), std::string::npos) << line << "\n" << out.str();

    // Verbose logging: the policy's switch, both ways, with no 30-day window
    // and nothing stored in the user's settings.
    FixedClock clock(LocalTime{2026, 12, 7, 10, 0, 0});
    PutUserSetting("Defaults", "VerboseLog", "0");
    PutMachineData(key, "VerboseLog", 4, Dword(1));
    EXPECT_TRUE(IsVerboseLogOn(clock));
    clock.set(FromLocalTime(LocalTime{2027, 6, 1, 10, 0, 0}));
    EXPECT_TRUE(IsVerboseLogOn(clock));
    for (const std::uint32_t on : {0x00000100u, 0x00010000u, 0x80000000u}) {  // any bit of the four bytes
        PutMachineData(key, "VerboseLog", 4, Dword(on));
        EXPECT_TRUE(IsVerboseLogOn(clock)) << on;
    }
    PutUserSetting("Defaults", "VerboseLog", "1");
    PutMachineData(key, "VerboseLog", 4, Dword(0));
    EXPECT_FALSE(IsVerboseLogOn(clock));
    EXPECT_EQ(UserSetting("Defaults", "VerboseLogDate"), std::nullopt);
    PutMachineValue(key, "VerboseLog", std::nullopt);
    EXPECT_TRUE(IsVerboseLogOn(clock));  // the user's own switch again
    PutUserSetting("Defaults", "VerboseLog", "0");
    PutMachineData(key, "VerboseLog", 4, std::string("\1\0\0", 3));  // a DWORD of three bytes is none
    EXPECT_FALSE(IsVerboseLogOn(clock));
}

TEST_F(Policy, AValueThatCannotBeUsedIsIgnoredWholeAndSaidOnce) {
    MemoryLog notes;
    SetSettingsLog(&notes);
    const std::vector<std::string> next = Resolved();  // without a policy
    ASSERT_EQ(next.front(), NativePath(dir / "user/order.xml") + " | setting [Defaults] XMLDataPath");
    PutMachineValue(key, "XMLDataPath", "");
    PutMachineValue(key, "WorkingDirectory", "dictation");
    PutMachineData(key, "RecorderPath", 1, std::string("/\0\0\0/\0\0\0", 8));  // UTF-16 "/", NUL, "/", NUL
    PutMachineData(key, "VNPROFILE", 4, Dword(1));
    PutMachineValue(key, "VerboseLog", "1");
    PutUserSetting("Defaults", "VerboseLog", "1");
    FixedClock clock(LocalTime{2026, 12, 7, 10, 0, 0});
    EXPECT_EQ(Resolved(), next);
    EXPECT_EQ(Resolved(), next);
    EXPECT_TRUE(IsVerboseLogOn(clock));
    EXPECT_TRUE(IsVerboseLogOn(clock));
    // The log hears of each once; --paths lists every path it passed over,
    // though the log has heard of them.
    std::ostringstream out, err;
    ASSERT_EQ(RunCommandLine({"--paths"}, out, err), 0);
    std::vector<std::string> said;
    for (const auto& [name, why] : {std::pair{"RecorderPath", "it holds a NUL before its end, so it cannot be a path"},
                                    {"VNPROFILE", "it is not text (registry type 4)"},
                                    {"VerboseLog", "it is not a REG_DWORD (registry type 1)"},
                                    {"WorkingDirectory", "\"dictation\" is not a full path"}, {"XMLDataPath", "it is empty"}}) {
        const std::string value = "HKEY_LOCAL_MACHINE\\" + key + " " + name + view + ": " + why;
        said.push_back("Ignored " + value);
        EXPECT_NE(out.str().find("\nignored: " + value + "\n"), std::string::npos) << out.str();
    }
    std::sort(notes.lines.begin(), notes.lines.end());
    EXPECT_EQ(notes.lines, said);
}

#ifdef _WIN32
// A machine value that the 64-bit view lacks is read from the 32-bit view,
// where 32-bit installers left it; the 64-bit view's own value wins.
TEST_F(Policy, MachineValuesFromThe32BitViewWhereThe64BitViewLacksThem) {
    PutMachineValue(kKey, "WorkingDirectory", std::nullopt);
    PutMachineValue("SOFTWARE\\Vantora\\VNR", "PATH", std::nullopt);
    const std::string wow = NativePath(dir / "wow"), native = NativePath(dir / "native");
    PutMachineValue(kKey, "WorkingDirectory", wow, 1);
    PutMachineValue("SOFTWARE\\Vantora\\VNR", "PATH", NativePath(dir / "wow/recorder.exe"), 1);
    RegistryValue raw;
    ASSERT_FALSE(ReadRawRegistryValue(RegistryRoot::LocalMachine, kKey, "WorkingDirectory", raw, 0)) << "not in the 64-bit view";
    PathSource s;
    const std::string registry = " | registry HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\";
    EXPECT_EQ(With(GetDictationRootFolder(&s), s), wow + registry + "VNRecorder WorkingDirectory, 32-bit view");
    EXPECT_EQ(With(GetVNRPath(&s), s), NativePath(dir / "wow/recorder.exe") + registry + "VNR PATH, 32-bit view");
    PutMachineValue(kKey, "WorkingDirectory", native);
    EXPECT_EQ(With(GetDictationRootFolder(&s), s), native + registry + "VNRecorder WorkingDirectory, 64-bit view");
    // A 64-bit value that cannot be a path is passed over for the 32-bit one.
    std::string multi;
    for (char c : native + '\0' + wow + '\0' + '\0') multi += {c, '\0'};
    PutMachineData(kKey, "WorkingDirectory", REG_MULTI_SZ, multi);
    EXPECT_EQ(GetDictationRootFolder(), wow);
    // A policy written through the 32-bit view beats both (the policies' key
    // may be one that both views share).
    PutMachineValue(key, "WorkingDirectory", NativePath(dir / "policy/root"), 1);
    EXPECT_EQ(GetDictationRootFolder(&s), NativePath(dir / "policy/root"));
    EXPECT_TRUE(s.text.starts_with(policy + "WorkingDirectory, ")) << s.text;
}
#endif

TEST_F(Paths, FileQuestionsHaveFixedAnswersWhenTheyCannotBeAnswered) {
    const std::string file = NativePath(dir / "f.xml");
    WriteFile(file, "x");
    EXPECT_TRUE(FileExistsQuiet(file));
    EXPECT_FALSE(FileExistsQuiet(dir.path().string()));
    EXPECT_FALSE(FolderExistsQuiet(file));
    EXPECT_FALSE(FileExistsQuiet(""));
    EXPECT_EQ(GetFileModifiedDate(NativePath(dir / "missing")), 0);
    EXPECT_GT(GetFileModifiedDate(file), 0);

    // Two rewrites within one second still differ.
    SetModifiedNs(file, 1'700'000'000'000'000'100);
    const FileDate first = GetFileModifiedDate(file);
    SetModifiedNs(file, 1'700'000'000'000'000'200);
    EXPECT_GT(GetFileModifiedDate(file), first);

    EXPECT_EQ(GetPathDriveType("\\\\srv\\share\\x"), kDriveNetwork);
    EXPECT_FALSE(IsFixedDrive(""));
    EXPECT_EQ(GetPathDriveType(NativePath(dir / "not/yet/created")), GetPathDriveType(dir.path().string()));
    EXPECT_TRUE(HasDriveLetter("Q:\\x"));
    EXPECT_FALSE(HasDriveLetter("\\\\srv\\x"));
    EXPECT_FALSE(HasDriveLetter("/home/x"));
    EXPECT_EQ(ResolveMappedDrive(NativePath(dir / "a/b.pfl"), true), NativePath(dir / "a/b.pfl"));  // not on a network drive
#ifndef _WIN32
    // The file systems that POSIX counts as drives of each type, by the
    // kernel's own names for them.
    EXPECT_EQ(GetPathDriveType(""), kDriveNetwork);
    const std::pair<std::int64_t, DriveType> types[] = {{NFS_SUPER_MAGIC, kDriveNetwork}, {SMB_SUPER_MAGIC, kDriveNetwork},
                                                        {CIFS_SUPER_MAGIC, kDriveNetwork}, {ISOFS_SUPER_MAGIC, kDriveCdRom},
                                                        {TMPFS_MAGIC, kDriveRam}, {RAMFS_MAGIC, kDriveRam},
                                                        {EXT4_SUPER_MAGIC, kDriveFixed}};
    for (const auto& [magic, type] : types)
        EXPECT_EQ(DriveTypeOfFileSystem(magic), type) << std::hex << magic;
    // And a real one: the shared-memory folder is a tmpfs wherever it exists.
    if (std::filesystem::is_directory("/dev/shm")) {
        EXPECT_EQ(GetPathDriveType("/dev/shm"), kDriveRam);
    }
#endif
}

TEST_F(Paths, CreateFolderPathMakesEveryMissingLevel) {
    std::filesystem::create_directories(dir.path() / "a");
    EXPECT_TRUE(CreateFolderPath(NativePath(dir / "a/b/c")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "a" / "b" / "c"));
    EXPECT_TRUE(CreateFolderPath(NativePath(dir / "a/b/c")));  // already there
    EXPECT_TRUE(CreateFolderPath(NativePath(dir / "x//y/")));  // empty parts stay parts
    WriteFile(dir / "file", "");
    EXPECT_FALSE(CreateFolderPath(NativePath(dir / "file/sub")));
    EXPECT_FALSE(CreateFolderPath(""));

    MemoryLog log;
    EnsureTempFolder(NativePath(dir / "a/b"), log);
    EnsureTempFolder(NativePath(dir / "t/Vantora/VNRecorder"), log);
    EXPECT_TRUE(log.lines.empty());
    EnsureTempFolder(NativePath(dir / "file/Vantora"), log);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Unable to create Temp Path " + NativePath(dir / "file/Vantora")}));
}

class Log : public test::ScratchHome {
protected:
    std::string LogText() { return test::ReadFile(LogFileName()); }
    static int Count(const std::string& s, const std::string& what) {
        int n = 0;
        for (auto p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
        return n;
    }
};

TEST_F(Log, StartEmptiesTheLogUnlessVerboseWritesTheStartLinesAndNeedsItsFolder) {
    SetSettingsAppName(kApplicationName);
    SetExecutableBaseNameForTesting("pacs-vantora-driver");
    ASSERT_TRUE(CreateFolderPath(NativePath(dir / "temp/Vantora/VNRecorder")));
    EXPECT_EQ(LogFileName(), NativePath(dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log"));
    ActivityLog log;
    log.WriteLog("Change profile to recorder");
    log.StartLog();
    log.WriteLog("Load XML /x.xml");
    log.WriteVerboseLog("hidden");
    std::string text = LogText();
    EXPECT_EQ(text.find("Change profile"), std::string::npos);
    EXPECT_NE(text.find(" pacs-vantora-driver starting\n"), std::string::npos);
    EXPECT_NE(text.find("\nversion 1.0. 0 \n"), std::string::npos) << text;
    EXPECT_NE(text.find(" - Load XML /x.xml\n"), std::string::npos);
    EXPECT_EQ(text.find("hidden"), std::string::npos);

    PutUserSetting("Defaults", "VerboseLog", "1");
    log.WriteLog("Change profile to again");
    log.StartLog();
    log.WriteVerboseLog("shown");
    text = LogText();
    EXPECT_EQ(Count(text, " starting\n"), 2);  // nothing removed while verbose
    EXPECT_LT(text.find("Change profile to again"), text.rfind(" starting"));
    EXPECT_NE(text.find(" - shown\n"), std::string::npos);

    // Without its folder the log drops its entries silently, and makes nothing.
    env.set("TEMP", NativePath(dir / "no/such/folder"));
    ActivityLog lost;
    lost.StartLog();
    lost.WriteLog("lost");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "no"));
    SetExecutableBaseNameForTesting("");
}

// The program's log hears once of a value it passes over, also of one read
// before the log started (and emptied it).
TEST_F(Log, AValueThatCannotBeAPathIsLoggedOnceAfterTheStart) {
    ASSERT_TRUE(CreateFolderPath(ProgramTempFolder()));
    PutMachineData(kKey, "VNPROFILE", 4, std::string("\x01\0\0\0", 4));
    SystemServices services;
    GetProfilePathFilename();  // start-up's profile selection
    services.StartLog();
    services.GetDraftsFolder();
    GetProfilePathFilename();
    EXPECT_EQ(Count(LogText(), " - Ignored HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder VNPROFILE"), 1) << LogText();
}

}  // namespace
}  // namespace pvd
