// The stores the program reads and writes: registry strings end at their
// first NUL, and a verbose check that cannot store its date says why, once.
// On POSIX also: a settings file that did not read cleanly is never written,
// links and modes survive a write, a byte-order mark is kept, and a file is
// parsed again only when it changed.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/posix/ini_file.h"
#endif

#include "app/activity_log.h"
#include "fileutil/FileFunctions.h"
#include "platform/environment.h"
#include "settings/EnvironmentFunction.h"
#include "settings/registry.h"
#include "settings/systemRegKeys.h"
#include "settings_fixture.h"

namespace pvd {
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
#ifndef _WIN32
    static unsigned Mode(const std::string& path) {
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
    // Makes the user's settings store refuse every write.
    void BlockSettingsStore() {
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
    }
};

TEST_F(Stores, RegistryStringsEndAtTheirFirstNul) {
    // "<root>\0<elsewhere>": only the part before the NUL is the folder.
    PutMachineData(kKey, "WorkingDirectory", 2, Utf16(NativePath(dir / "dictation") + '\0' + NativePath("/../elsewhere") + '\0'));
    EXPECT_EQ(GetDraftsFolder(), NativePath(dir / "dictation/Drafts"));

    // Data stored without its closing NUL keeps its last character.
    PutMachineData(kKey, "WorkingDirectory", 2, Utf16("/d"));
    PutMachineData(kKey, "Sz", 1, Utf16("ab"));
    PutMachineData(kKey, "Multi", 7, Utf16(std::string("a\0b", 3)));
    EXPECT_EQ(GetWorkingDirectory(), "/d");
    auto read = [](const char* name) { return ReadRegistryValue(RegistryRoot::LocalMachine, kKey, name); };
    EXPECT_EQ(read("Sz"), RegistryResult(std::string("ab")));
    EXPECT_EQ(read("Multi"), RegistryResult(std::string("a\0b", 3)));
}

TEST_F(Stores, AVerboseCheckThatCannotStoreItsDateSaysWhyOnce) {
    const FixedClock clock(LocalTime{2026, 3, 1, 8, 0, 0});
    BlockSettingsStore();
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

TEST_F(Stores, ALinkedStoreKeepsItsLinkAndModesAreKeptOrPrivate) {
    fs::create_directories(dir.path() / "shared");
    const std::string target = dir / "shared/settings.ini";
    WriteFile(target, "[Defaults]\r\nVerboseLog=1\r\n");
    fs::permissions(target, fs::perms(0640));
    fs::create_symlink("../../shared/settings.ini", Settings());
    ASSERT_TRUE(SaveDefaultSetting("XMLDataPath", "/x.xml"));
    EXPECT_TRUE(fs::is_symlink(Settings()));
    EXPECT_EQ(ReadFile(target), "[Defaults]\r\nVerboseLog=1\r\nXMLDataPath=/x.xml\r\n");
    EXPECT_EQ(Mode(target), 0640u);
    EXPECT_EQ(GetDefaultSetting("XMLDataPath", ""), "/x.xml");
    for (const auto& e : fs::directory_iterator(dir.path() / "shared")) EXPECT_EQ(e.path(), target);  // no temporary left

    // A link whose file does not exist yet: the file is made where it leads.
    fs::remove(target);
    ASSERT_TRUE(SaveDefaultSetting("XMLDataPath", "/y.xml"));
    EXPECT_TRUE(fs::is_symlink(Settings()));
    EXPECT_EQ(ReadFile(target), "[Defaults]\nXMLDataPath=/y.xml\n");
    EXPECT_EQ(Mode(target), 0600u);

    // A new store and its folders are the user's alone.
    SetSettingsAppName("Fresh App");
    ASSERT_TRUE(SaveDefaultSetting("k", "v"));
    EXPECT_EQ(Mode(dir / "config/Fresh App"), 0700u);
    EXPECT_EQ(Mode(dir / "config/Fresh App/settings.ini"), 0600u);
}

TEST_F(Stores, AByteOrderMarkIsReadAndKept) {
    WriteSettings("\xEF\xBB\xBF[Defaults]\r\nXMLDataPath=/srv/pacs/order.xml\r\n");
    EXPECT_EQ(GetDefaultSetting("XMLDataPath", "dflt"), "/srv/pacs/order.xml");
    ASSERT_TRUE(SaveDefaultSetting("VerboseLogDate", "0"));
    EXPECT_EQ(ReadFile(Settings()), "\xEF\xBB\xBF[Defaults]\r\nXMLDataPath=/srv/pacs/order.xml\r\nVerboseLogDate=0\r\n");
    EXPECT_EQ(FindIniValue("\xEF\xBB\xBF[Defaults]\nk=v\n", "Defaults", "k"), "v");
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
