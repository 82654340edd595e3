// The stores the program reads and writes: a settings file that did not read
// cleanly is never written, links and modes survive a write, a byte-order
// mark is kept, a file is parsed again only when it changed, and registry
// strings end at their first NUL.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "app/activity_log.h"
#include "fileutil/FileFunctions.h"
#include "platform/environment.h"
#include "settings/EnvironmentFunction.h"
#include "platform/posix/ini_file.h"
#include "settings/registry.h"
#include "settings/systemRegKeys.h"
#include "settings_fixture.h"

namespace pvd {
namespace {

using test::ReadFile;
using test::WriteFile;
namespace fs = std::filesystem;

class Stores : public test::ScratchHome {
protected:
    void SetUp() override {
        ScratchHome::SetUp();
        SetSettingsAppName(kApplicationName);
        fs::create_directories(dir.path() / "config" / "Vantora Recorder");
    }
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
};

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

    // The log says why the verbose check could not store its date, once.
    fs::remove(Settings());
    fs::create_directory(Settings());
    SetExecutableBaseNameForTesting("pacs-vantora-driver");
    ASSERT_TRUE(CreateFolderPath(ProgramTempFolder()));
    ActivityLog log(clock);
    log.StartLog();
    log.WriteVerboseLog("a");
    log.WriteVerboseLog("b");
    const std::string logText = ReadFile(LogFileName());
    const std::string line = " - Unable to save setting VerboseLogDate: File " + Settings() + " is not a regular file\n";
    EXPECT_NE(logText.find(line), std::string::npos) << logText;
    EXPECT_EQ(logText.find(line), logText.rfind(line)) << logText;
    SetExecutableBaseNameForTesting("");
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

TEST_F(Stores, RegistryStringsEndAtTheirFirstNul) {
    // "<root>\0/../elsewhere" as UTF-16LE: only the part before the NUL is the folder.
    std::string hex;
    auto add = [&hex](const std::string& s) {
        for (unsigned char c : s) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%02x,00,", c);
            hex += buf;
        }
    };
    add(dir / "dictation");
    hex += "00,00,";
    add("/../elsewhere");
    hex += "00,00";
    MachineValues("SOFTWARE\\Vantora\\VNRecorder", "\"WorkingDirectory\"=hex(2):" + hex + "\n");
    EXPECT_EQ(GetDraftsFolder(), dir / "dictation/Drafts");

    // Data stored without its closing NUL keeps its last character.
    MachineValues("SOFTWARE\\Vantora\\VNRecorder", "\"WorkingDirectory\"=hex(2):2f,00,64,00\n"
                                                   "\"Sz\"=hex(1):61,00,62,00\n\"Multi\"=hex(7):61,00,00,00,62,00\n");
    EXPECT_EQ(GetWorkingDirectory(), "/d");
    auto read = [](const char* name) { return ReadRegistryValue(RegistryRoot::LocalMachine, "SOFTWARE\\Vantora\\VNRecorder", name); };
    EXPECT_EQ(read("Sz"), RegistryResult(std::string("ab")));
    EXPECT_EQ(read("Multi"), RegistryResult(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace pvd
