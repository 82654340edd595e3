// The stores the program reads and writes: values that cannot be paths are
// passed over and said once, and a verbose check that cannot store its date says why, once.
// On POSIX also: a settings file that did not read cleanly is never written,
// links and modes survive a write, a byte-order mark is kept, and a file is
// parsed again only when it changed.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/posix/ini_file.h"
#endif

#include "app/activity_log.h"
#include "app/order_file.h"
#include "dictation/StartVNR.h"
#include "fileutil/FileFunctions.h"
#include "platform/environment.h"
#include "platform/file_io.h"
#include "settings/EnvironmentFunction.h"
#include "settings/registry.h"
#include "settings/systemRegKeys.h"
#include "settings_fixture.h"

namespace pvd {

#ifndef _WIN32
// The permission bits of a path itself (not of where a link leads); 0 when
// there is nothing. test_private_files.cpp uses it too.
unsigned Mode(const std::string& path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Bytes read by this process so far.
static long long BytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return -1;
}
#endif

namespace {

using test::NativePath;
using test::ReadFile;
using test::WriteFile;
namespace fs = std::filesystem;

constexpr const char* kKey = "SOFTWARE\\Vantora\\VNRecorder";

// Text as the registry stores it, UTF-16LE (ASCII here), NULs included.
std::string Utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += {c, '\0'};
    return out;
}

class Stores : public test::ScratchHome {
protected:
    void SetUp() override {
        ScratchHome::SetUp();
        SetSettingsAppName(kApplicationName);
        fs::create_directories(dir.path() / "config" / "Vantora Recorder");
    }
};

// A value with a NUL before its end, or stored as something other than text,
// names no path: a Windows call ends the name at the NUL, and the dictation
// would be written under the root's own name. Each such value is said once
// and passed over as if it were missing, whatever it locates.
TEST_F(Stores, ValuesThatCannotBePathsArePassedOverAndSaidOnce) {
    const std::string& view = test::kRegistryView;
    MemoryLog notes;
    SetSettingsLog(&notes);
    auto said = [&] { return std::exchange(notes.lines, {}); };
    const std::string one = NativePath(dir / "t13/one"), two = NativePath(dir / "t13/two");
    const std::string nul = "it holds a NUL before its end, so it cannot be a path";
    env.set("VNFILES_PATH", NativePath(dir / "vnfiles")).set("VNPROFILE", NativePath(dir / "profiles"));
    const std::string drafts = NativePath(dir / "vnfiles/Drafts");

    // The dictation root: a multi-string, a string with a NUL inside, a number.
    const std::string root = "Ignored HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder WorkingDirectory" + view + ": ";
    PutMachineData(kKey, "WorkingDirectory", 7, Utf16(one + '\0' + two + '\0' + '\0'));
    EXPECT_EQ(GetDraftsFolder(), drafts);
    EXPECT_EQ(GetDraftsFolder(), drafts);
    EXPECT_EQ(said(), std::vector<std::string>{root + nul});
    PutMachineData(kKey, "WorkingDirectory", 1, Utf16(one + '\0' + two + '\0'));
    EXPECT_EQ(GetDraftsFolder(), drafts);
    PutMachineData(kKey, "WorkingDirectory", 4, std::string("\x01\0\0\0", 4));
    EXPECT_EQ(GetDraftsFolder(), drafts);
    EXPECT_EQ(said(), std::vector<std::string>{root + "it is not text (registry type 4)"});  // the NUL was said
    // Closing NULs end the text, and text without one keeps its last character.
    PutMachineData(kKey, "WorkingDirectory", 1, Utf16(one + '\0' + '\0'));
    EXPECT_EQ(GetDraftsFolder(), one + kPathSeparator + "Drafts");
    PutMachineData(kKey, "WorkingDirectory", 2, Utf16(one));
    EXPECT_EQ(GetWorkingDirectory(), one);
    // The value is said again once it changed back after being usable.
    PutMachineData(kKey, "WorkingDirectory", 1, Utf16(one + '\0' + two + '\0'));
    EXPECT_EQ(GetDraftsFolder(), drafts);
    EXPECT_EQ(said(), std::vector<std::string>{root + nul});
    PutMachineValue(kKey, "WorkingDirectory", std::nullopt);

    // The recorder and the profile folder.
    PutMachineData("SOFTWARE\\Vantora\\VNR", "PATH", 1, Utf16(one + '\0' + two + '\0'));
    EXPECT_EQ(GetVNRPath(), "");
    PutMachineData(kKey, "VNPROFILE", 1, Utf16(one + '\0' + two + '\0'));
    EXPECT_EQ(GetProfileFolder("VNRecorder"), NativePath(dir / "profiles/VNRecorder"));
    EXPECT_EQ(said(), (std::vector<std::string>{"Ignored HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNR PATH" + view + ": " + nul,
                                                "Ignored HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder VNPROFILE" + view + ": " + nul}));

    // The user's settings: the profile's root, the order file, the profile file.
    const std::string withNul = one + '\0' + two;
    PutUserSetting("recorder", "Default Path", withNul);
    PutUserSetting("Defaults", "XMLDataPath", withNul);
    PutUserSetting("Defaults", "ProfilePathFilename", withNul);
    EXPECT_EQ(GetDraftsFolder(), drafts);
    EXPECT_EQ(GetXMLFilename(), drafts + kPathSeparator + "ridavaruz.xml");
    EXPECT_EQ(GetProfilePathFilename(), NativePath(dir / "profiles/VNRecorder/recorder.pfl"));
    const std::string of = " in " + SettingsFileName() + ": " + nul;
    std::vector<std::string> lines = said();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"Ignored setting [Defaults] ProfilePathFilename" + of,
                                               "Ignored setting [Defaults] XMLDataPath" + of, "Ignored setting [recorder] Default Path" + of}));
#ifdef _WIN32
    // A setting stored as a number is no text at all.
    ASSERT_TRUE(test::SetUserData("Software\\VB and VBA Program Settings\\Vantora Recorder\\Defaults", "XMLDataPath", REG_DWORD,
                                  std::string("\x01\0\0\0", 4)));
    EXPECT_EQ(GetXMLFilename(), drafts + kPathSeparator + "ridavaruz.xml");
    EXPECT_EQ(said(), std::vector<std::string>{"Ignored setting [Defaults] XMLDataPath in " + SettingsFileName() +
                                                ": it is not text (a registry value of type 4)"});
#endif
}

TEST_F(Stores, AVerboseCheckThatCannotStoreItsDateSaysWhyOnce) {
    const FixedClock clock(LocalTime{2026, 3, 1, 8, 0, 0});
    // The user's settings store refuses every write.
#ifdef _WIN32
    // A volatile key holds no lasting key: the section's key cannot be made.
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\VB and VBA Program Settings\\Vantora Recorder", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(k);
#else
    fs::create_directory(Settings());  // a folder where the file belongs
#endif
    SetExecutableBaseNameForTesting("pacs-vantora-driver");
    ASSERT_TRUE(CreateFolderPath(ProgramTempFolder()));
    ActivityLog log(clock);
    log.StartLog();
    log.WriteVerboseLog("a");
    log.WriteVerboseLog("b");
    const std::string logText = ReadFile(LogFileName());
    SetExecutableBaseNameForTesting("");
    const std::string what = " - Unable to save setting VerboseLogDate: ";
    const auto at = logText.find(what);
    ASSERT_NE(at, std::string::npos) << logText;
    EXPECT_EQ(at, logText.rfind(what)) << logText;
    const std::string entry = logText.substr(at, logText.find('\n', at) - at);
    EXPECT_NE(entry.find(SettingsFileName()), std::string::npos) << entry;  // names the store
}

// The POSIX half from here: the INI and .reg files (the Windows settings and
// machine values live in the registry).
#ifndef _WIN32
TEST_F(Stores, AStoreThatDidNotReadCleanlyIsNeverWritten) {
    const FixedClock clock(LocalTime{2026, 3, 1, 8, 0, 0});
    // Too large for the reader: a user's settings with a long tail.
    const std::string text = "[Defaults]\nProfilePathFilename=/p/ann.pfl\nXMLDataPath=/srv/order.xml\n[ann]\nDefault Path=/d\n";
    WriteSettings(text);
    fs::resize_file(Settings(), 17u * 1024 * 1024);
    const std::string before = ReadFile(Settings());
    std::string why;
    EXPECT_FALSE(SaveDefaultSetting("XMLDataPath", "/other.xml", &why));
    EXPECT_NE(why.find("larger than"), std::string::npos) << why;
    EXPECT_FALSE(IsVerboseLogOn(clock, &why));
    EXPECT_NE(why.find("larger than"), std::string::npos) << why;
    EXPECT_EQ(GetDefaultSetting("XMLDataPath", "dflt"), "dflt");  // nothing is read from it either
    EXPECT_TRUE(ReadFile(Settings()) == before);

    // Not a regular file: a FIFO is never opened blocking, a link to a device
    // is neither followed into nor replaced.
    fs::remove(Settings());
    ASSERT_EQ(mkfifo(Settings().c_str(), 0644), 0);
    EXPECT_FALSE(SaveDefaultSetting("VerboseLogDate", "0", &why));
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
    EXPECT_TRUE(fs::is_fifo(Settings()));
    fs::remove(Settings());
    const unsigned zeroMode = Mode("/dev/zero");
    fs::create_symlink("/dev/zero", Settings());
    EXPECT_FALSE(SaveDefaultSetting("VerboseLogDate", "0"));
    EXPECT_TRUE(fs::is_symlink(Settings()));
    EXPECT_TRUE(fs::is_character_file("/dev/zero"));
    EXPECT_EQ(Mode("/dev/zero"), zeroMode);
}

TEST_F(Stores, ALinkedStoreKeepsItsLinkItsByteOrderMarkAndModesAreKeptOrPrivate) {
    fs::create_directories(dir.path() / "shared");
    const std::string target = dir / "shared/settings.ini";
    WriteFile(target, "\xEF\xBB\xBF[Defaults]\r\nVerboseLog=1\r\n");
    fs::permissions(target, fs::perms(0640));
    fs::create_symlink("../../shared/settings.ini", Settings());
    EXPECT_EQ(GetDefaultSetting("VerboseLog", "dflt"), "1");  // the section right after the mark is read
    ASSERT_TRUE(SaveDefaultSetting("XMLDataPath", "/x.xml"));
    EXPECT_TRUE(fs::is_symlink(Settings()));
    EXPECT_EQ(ReadFile(target), "\xEF\xBB\xBF[Defaults]\r\nVerboseLog=1\r\nXMLDataPath=/x.xml\r\n");
    EXPECT_EQ(FindIniValue("\xEF\xBB\xBF[Defaults]\nk=v\n", "Defaults", "k"), "v");
    EXPECT_EQ(Mode(target), 0640u);
    EXPECT_EQ(GetDefaultSetting("XMLDataPath", ""), "/x.xml");
    for (const auto& e : fs::directory_iterator(dir.path() / "shared")) EXPECT_EQ(e.path(), target);  // no temporary left

    // A link whose file does not exist yet: the file is made where it leads.
    fs::remove(target);
    ASSERT_TRUE(SaveDefaultSetting("XMLDataPath", "/y.xml"));
    EXPECT_TRUE(fs::is_symlink(Settings()));
    EXPECT_EQ(ReadFile(target), "[Defaults]\nXMLDataPath=/y.xml\n");
    EXPECT_EQ(Mode(target), 0600u);

    // A FIFO where the link leads: nothing is written, and it stays a FIFO.
    fs::remove(target);
    ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
    std::string why;
    EXPECT_FALSE(WriteFileAtomically(target, "[Defaults]\n", &why));
    EXPECT_EQ(why, "File " + target + " is not a regular file");
    EXPECT_TRUE(fs::is_fifo(target));
    fs::remove(target);

    // A write that fails part way (a file-size limit stands in for a full
    // disk) is reported, and leaves the file as it was and no temporary.
    WriteFile(target, "old");
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit{1024, 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool ok = WriteFileAtomically(target, std::string(4096, 'x'), &why);
        _exit(!ok && why == "Cannot write " + target + ": " + std::strerror(EFBIG) ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << "the failed write was not reported as it should be";
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "shared"), {}), 1);

    // No file name: said so, and no descriptor of the process is closed.
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);  // descriptor 0 if the suite runs without one
    std::string bytes;
    EXPECT_FALSE(ReadWholeFile("", 16, bytes, &why));
    EXPECT_EQ(why, "No file name");
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    close(in);

    // A new store and its folders are the user's alone.
    SetSettingsAppName("Fresh App");
    ASSERT_TRUE(SaveDefaultSetting("k", "v"));
    EXPECT_EQ(Mode(dir / "config/Fresh App"), 0700u);
    EXPECT_EQ(Mode(dir / "config/Fresh App/settings.ini"), 0600u);
}

TEST_F(Stores, AnUnchangedStoreIsParsedOnceAndAChangeIsSeenAtTheNextRead) {
    // Large files, so that a parse of either one would show in the bytes read.
    std::string settings = "[Defaults]\nXMLDataPath=/a.xml\n[recorder]\n";
    std::string reg = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n\"WorkingDirectory\"=\"/root-a\"\n";
    for (int i = 0; i < 40000; ++i) {
        settings += "Key" + std::to_string(i) + "=some value of the profile\n";
        reg += "\"Value" + std::to_string(i) + "\"=\"some registry value\"\n";
    }
    WriteSettings(settings);
    WriteFile(dir / "machine.reg", reg);
    // A version is trusted only once a rewrite within the same clock tick is
    // no longer possible.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(GetDefaultSetting("XMLDataPath", ""), "/a.xml");
    EXPECT_EQ(GetWorkingDirectory(), "/root-a");
    const long long start = BytesRead();
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(GetDefaultSetting("XMLDataPath", ""), "/a.xml");
        EXPECT_EQ(GetWorkingDirectory(), "/root-a");
    }
    EXPECT_LT(BytesRead() - start, 64 * 1024) << "the stores were read again although they did not change";

    // Changes of the same size, one right after the other, are each seen.
    for (const char* v : {"/b.xml", "/c.xml"}) {
        settings.replace(settings.find("XMLDataPath=/") + 13, 5, v + 1);
        WriteSettings(settings);
        EXPECT_EQ(GetDefaultSetting("XMLDataPath", ""), v);
    }
    reg.replace(reg.find("/root-a"), 7, "/root-b");
    WriteFile(dir / "machine.reg", reg);
    EXPECT_EQ(GetWorkingDirectory(), "/root-b");
}

#endif

}  // namespace
}  // namespace pvd
