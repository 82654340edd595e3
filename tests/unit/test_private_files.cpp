// The temporary folder and the log are the user's own: a private folder when
// TEMP is unset, folders 0700 and files 0600, and a log that is never written
// where another user could read, redirect or empty it.
#include <gtest/gtest.h>

// POSIX only: the private folder from the XDG variables, permission bits,
// links, FIFOs and other users. On Windows the temporary folder lies in the
// user's own profile, and the Win32 half refuses a link or a folder as the log.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/activity_log.h"
#include "fileutil/FileFunctions.h"
#include "platform/environment.h"
#include "settings/EnvironmentFunction.h"
#include "settings_fixture.h"

namespace pvd {

unsigned Mode(const std::string& path);  // test_stores.cpp

namespace {

using test::ReadFile;
using test::WriteFile;
namespace fs = std::filesystem;

class PrivateFiles : public test::ScratchHome {
protected:
    void SetUp() override {
        ScratchHome::SetUp();
        SetExecutableBaseNameForTesting("pacs-vantora-driver");
    }
    void TearDown() override {
        SetExecutableBaseNameForTesting("");
        ScratchHome::TearDown();
    }
    // Starts a log and writes two lines; what standard error heard.
    static std::string LogOnce() {
        testing::internal::CaptureStderr();
        ActivityLog log;
        log.StartLog();
        log.WriteLog("Load XML /x.xml");
        log.WriteLog("Load XML /y.xml");
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(PrivateFiles, WithoutTempTheFolderIsTheUsersOwnNeverTmp) {
    env.set("TEMP", std::nullopt).set("TMPDIR", "/tmp").set("XDG_RUNTIME_DIR", dir / "run").set("XDG_CACHE_HOME", dir / "cache");
    EXPECT_EQ(ProgramTempFolder(), dir / "run/Vantora/VNRecorder");
    env.set("XDG_RUNTIME_DIR", std::nullopt);
    EXPECT_EQ(ProgramTempFolder(), dir / "cache/Vantora/VNRecorder");
    env.set("XDG_CACHE_HOME", std::nullopt);
    PathSource source;
    EXPECT_EQ(ProgramTempFolder(&source), dir / "home/.cache/Vantora/VNRecorder");
    EXPECT_NE(source.text.find("HOME"), std::string::npos);
    env.set("HOME", std::nullopt);
    EXPECT_EQ(ProgramTempFolder(), "");
    EXPECT_EQ(LogFileName(), "");
    env.set("TEMP", dir / "temp");
    EXPECT_EQ(ProgramTempFolder(&source), dir / "temp/Vantora/VNRecorder");
    EXPECT_EQ(source.text, "environment TEMP");
}

TEST_F(PrivateFiles, TheLogIsTheUsersAloneAndAPlaceOthersControlIsNeverWritten) {
    const std::string folder = ProgramTempFolder();
    MemoryLog messages;
    EnsureTempFolder(folder, messages);
    EXPECT_TRUE(messages.lines.empty());
    for (const char* level : {"temp", "temp/Vantora", "temp/Vantora/VNRecorder"}) EXPECT_EQ(Mode(dir / level), 0700u) << level;
    EXPECT_EQ(LogOnce(), "");
    EXPECT_EQ(Mode(LogFileName()), 0600u);
    const std::string first = ReadFile(LogFileName());
    EXPECT_NE(first.find(" - Load XML /x.xml\n"), std::string::npos);
    EXPECT_EQ(first.find('\0'), std::string::npos);
    // The next start begins the log afresh: nothing of the last run's is left.
    // The file system takes each write a byte at a time: lines come whole.
    env.set("PVD_SHORT_WRITES", "1");
    EXPECT_EQ(LogOnce(), "");
    env.set("PVD_SHORT_WRITES", std::nullopt);
    const std::string second = ReadFile(LogFileName());
    EXPECT_EQ(second.find(" starting\n"), first.find(" starting\n"));
    EXPECT_EQ(second.find(" starting\n", first.find(" starting\n") + 1), std::string::npos);
    EXPECT_EQ(second.substr(second.find(" - Load XML /x.xml\n")), first.substr(first.find(" - Load XML /x.xml\n")));
    fs::remove(LogFileName());
    const std::string victim = dir / "victim.txt";
    WriteFile(victim, "the user's own file");

    // A link named like the log: never followed, never emptied.
    fs::create_symlink(victim, LogFileName());
    const std::string err = LogOnce();
    EXPECT_NE(err.find("the activity log is off: " + LogFileName() + " is a link"), std::string::npos) << err;
    EXPECT_EQ(ReadFile(victim), "the user's own file");
    EXPECT_TRUE(fs::is_symlink(LogFileName()));

    // A folder its group or everyone can write: no log, said once per log.
    fs::remove(LogFileName());
    for (const auto mode : {fs::perms(0770), fs::perms(0707)}) {
        fs::permissions(folder, mode);
        EXPECT_EQ(LogOnce(), "pacs-vantora-driver: the activity log is off: the folder " + folder + " is writable by other users\n");
        EXPECT_FALSE(fs::exists(LogFileName()));
    }

    // A sticky shared folder of the user's own, as /tmp is for root: written.
    fs::permissions(folder, fs::perms(01777));
    EXPECT_EQ(LogOnce(), "");
    EXPECT_NE(ReadFile(LogFileName()).find(" - Load XML /x.xml\n"), std::string::npos);

    // A FIFO named like the log does not hold the program up.
    fs::remove(LogFileName());
    ASSERT_EQ(mkfifo(LogFileName().c_str(), 0600), 0);
    EXPECT_NE(LogOnce().find("is not a regular file"), std::string::npos);
    // Nor does one that another process reads: it hears nothing.
    const int reader = open(LogFileName().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(LogOnce(), "pacs-vantora-driver: the activity log is off: " + LogFileName() + " is not a regular file\n");
    char heard[16];
    EXPECT_LE(read(reader, heard, sizeof heard), 0);
    close(reader);
    fs::remove(LogFileName());
    fs::permissions(folder, fs::perms(0700));

    if (geteuid() != 0) GTEST_SKIP() << "the rest needs root to make files of another user";
    // A log file of another user's: neither emptied nor appended to.
    WriteFile(LogFileName(), "another user's file");
    ASSERT_EQ(chown(LogFileName().c_str(), 65534, 65534), 0);
    EXPECT_NE(LogOnce().find(LogFileName() + " belongs to another user"), std::string::npos);
    EXPECT_EQ(ReadFile(LogFileName()), "another user's file");
    fs::remove(LogFileName());
    // A folder of another user's.
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_NE(LogOnce().find("the folder " + folder + " belongs to another user"), std::string::npos);
    EXPECT_FALSE(fs::exists(LogFileName()));
}

}  // namespace
}  // namespace pvd
#endif
