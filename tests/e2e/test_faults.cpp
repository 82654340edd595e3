// Faults around the program: missing or read-only drafts folder, full disk,
// missing or broken recorder, libraries, registry, settings and log folder.
// Each time the program carries on, reports as it should, and no existing
// dictation file changes.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#endif

#include <csignal>

#include "program_fixture.h"

namespace pvd {
namespace {

using test::NativePath;
using test::ReadFile;
using test::WriteFile;

class Faults : public test::Program {
protected:
    std::string orderFile, existing, existingBytes;

    void SetUp() override {
        Program::SetUp();
        orderFile = dir / "order.xml";
        WriteFile(orderFile, Order("987", "A678"));
        // A dictation recorded earlier, for another patient: it must never change.
        existing = Draft("111_OLD.iaf");
        existingBytes = std::string("RIFF") + std::string(40, '\x01') + "recorded audio";
        WriteFile(existing, existingBytes);
    }
    void TearDown() override {
        if (!existing.empty() && std::filesystem::exists(existing)) {
            EXPECT_EQ(ReadFile(existing), existingBytes);
        }
        Program::TearDown();
    }
    std::string Draft(const std::string& name) const { return NativePath(drafts + "/" + name); }
    test::RunResult Launch(const std::string& file) {
        return test::Run({test::Bin("pacs-vantora-driver"), "--launch", file}, dir.path().string());
    }
#ifndef _WIN32
    // --launch in a child that first changes its limits or user, and fails:
    // it says so, and leaves nothing in the drafts folder but the old dictation.
    template <typename Prepare>
    void ExpectPreparedLaunchFails(Prepare prepare) {
        const std::string err = dir / "prepared.err";
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            dup2(fd, 2);
            prepare();
            const std::string bin = test::Bin("pacs-vantora-driver");
            execl(bin.c_str(), bin.c_str(), "--launch", orderFile.c_str(), static_cast<char*>(nullptr));
            _exit(126);
        }
        EXPECT_EQ(test::WaitExit(pid), 1);
        EXPECT_EQ(ReadFile(err), "Unable to create " + drafts + "/987_A678.iaf\n");
        for (const auto& e : std::filesystem::directory_iterator(drafts))
            EXPECT_TRUE(e.path() == existing) << "left behind: " << e.path();
    }
#endif
    void Registry(const std::string& recorder) { Configure(dir / "dictation", recorder); }
};

TEST_F(Faults, DraftsFolderMissingThenBack) {
    std::filesystem::remove(existing);
    existing.clear();
    std::filesystem::remove(drafts);
    auto r = Launch(orderFile);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to create " + Draft("987_A678.iaf") + "\n");
    EXPECT_FALSE(std::filesystem::exists(drafts));

    // The running program, watching an order file outside the drafts folder:
    // the launch fails (its message is shown) and the program carries on.
    std::filesystem::create_directories(dir.path() / "pacs");
    const std::string watched = NativePath(dir / "pacs/order.xml");
    UserSetting("XMLDataPath", watched);
    StartAndWaitUntilReady();
    WriteFile(watched, Order("1", "X"));
    EXPECT_GE(test::WaitForLines(LogFile(), 4).size(), 4u);  // the load of the new order
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(recLog));
    EXPECT_TRUE(Alive());

    std::filesystem::create_directories(drafts);  // the folder is back
    WriteFile(watched, Order("2", "Y"));
    auto starts = test::WaitForLines(recLog, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_NE(starts[0].find("2_Y.iaf"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Draft("1_X.iaf")));
    EXPECT_TRUE(RanOnThenStopped());
}

#ifndef _WIN32
// Windows' form of it, a folder whose access rules deny the user new files,
// cannot be made under Wine: it enforces no file access rules, and runs as
// root here, whom permission bits do not stop.
TEST_F(Faults, ReadOnlyDraftsFolder) {
    std::filesystem::create_directories(dir.path() / "temp");
    std::filesystem::create_directories(dir.path() / "home");
    for (const auto& path : {dir.path(), dir.path() / "dictation", dir.path() / "machine.reg", dir.path() / "order.xml",
                             dir.path() / "temp", dir.path() / "home"})
        std::filesystem::permissions(path, std::filesystem::perms::all);
    std::filesystem::permissions(drafts, std::filesystem::perms(0505));  // readable, but no new files
    // Root writes anywhere: the launch runs as an unprivileged user.
    ExpectPreparedLaunchFails([] {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(125);
    });
}

// A file-size limit stands in for the full disk; Wine can fill no drive
// short of mounting a small file system, which the tests cannot do.
TEST_F(Faults, FullDiskLeavesNoHalfMadeFile) {
    WriteFile(orderFile, "<DictationData><New><PatientID>987</PatientID><AccessionNumber>A678</AccessionNumber><Notes>" +
                             std::string(256 * 1024, 'n') + "</Notes></New></DictationData>");
    ExpectPreparedLaunchFails([] {
        signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
        struct rlimit lim{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
    });
    // With room again, the same order is created whole.
    EXPECT_EQ(Launch(orderFile).status, 0);
    EXPECT_TRUE(std::filesystem::exists(drafts + "/987_A678.iaf"));
}
#endif

TEST_F(Faults, RecorderNotAProgram) {
#ifdef _WIN32
    // A document is opened by its own program: that is no recorder started.
    const std::string document = NativePath(dir / "recorder.txt");
    WriteFile(document, "not a program");
    Registry(document);
    auto r = Launch(orderFile);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "Unable to start the recorder " + document + "\n");
    EXPECT_NE(ReadFile(LogFile()).find("Unable to start the recorder " + document + ": a document, not a program"), std::string::npos)
        << ReadFile(LogFile());

    // Windows starts a document with the program it is associated with: a
    // program file that holds no program is its "not a program".
    const std::string notAProgram = NativePath(dir / "recorder.exe");
#else
    const std::string notAProgram = dir / "recorder.txt";
#endif
    WriteFile(notAProgram, "not a program");
    Registry(notAProgram);
    StartAndWaitUntilReady();
    WriteFile(order, Order("2", "B"));
    // A change that only the poll sees is loaded once it has stayed the same for 2 s.
    EXPECT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(Draft("2_B.iaf")); }));
    EXPECT_TRUE(Alive());
    // The log names the recorder and why it did not start.
    EXPECT_TRUE(Logs("Unable to start the recorder " + notAProgram + ": ")) << ReadFile(LogFile());
    EXPECT_EQ(Stop(SIGTERM), 0);
}

// The registry has no file to garble: its forms of a corrupt value are one of
// the wrong type and text that is no UTF-16 (an odd length, a lone
// surrogate); of an unreadable one, a key whose access rules deny reading.
TEST_F(Faults, CorruptOrUnreadableRegistryAndSettings) {
#ifdef _WIN32
    const std::string garbage("\xFF\xFE\x00\xD8garbage", 11);
    ASSERT_TRUE(test::SetMachineData("SOFTWARE\\Vantora\\VNRecorder", "WorkingDirectory", REG_BINARY, garbage));
    // The recorder's key may be changed, not read (KEY_SET_VALUE | DELETE | WRITE_DAC).
    ASSERT_TRUE(test::KeyRules(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vantora\\VNR", "D:P(A;;0x50002;;;WD)"));
    struct Readable {
        ~Readable() { test::KeyRules(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vantora\\VNR", "D:P(A;;KA;;;WD)"); }
    } readableAgain;
    ASSERT_TRUE(test::SetUserData("Software\\VB and VBA Program Settings\\Vantora Recorder\\Defaults", "XMLDataPath", REG_SZ, garbage));
    ASSERT_TRUE(test::SetUserData("Software\\VB and VBA Program Settings\\Vantora Recorder\\Defaults", "ProfilePathFilename",
                                 REG_BINARY, garbage));
    const std::string builtInDrafts = "C:\\VnFiles\\Drafts";
#else
    WriteFile(dir / "machine.reg", std::string("\xFF\xFE\x00\xD8garbage[HKEY_LOCAL", 21));
    std::filesystem::create_directories(dir.path() / "config" / "Vantora Recorder" / "settings.ini");  // a folder: unreadable as a file
    const std::string builtInDrafts = dir / "home/VnFiles/Drafts";
#endif
    auto r = test::Run({test::Bin("pacs-vantora-driver"), "--paths"}, dir.path().string());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("drafts folder: " + builtInDrafts + "  (built-in default)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("recorder: (none)"), std::string::npos) << r.out;

    // The program starts on the built-in defaults and keeps running.
    StartAndWaitUntilReady();
    EXPECT_TRUE(RanOnThenStopped());
}

TEST_F(Faults, LogFolderThatCannotExist) {
    WriteFile(dir / "blocker", "a file where the temporary folder should be");
    env.set("TEMP", NativePath(dir / "blocker/tmp"));
#ifdef _WIN32
    env.set("TMP", NativePath(dir / "blocker/tmp"));
#endif
    ASSERT_NO_FATAL_FAILURE(LaunchThenLaunchInTheRunningProgram());
    EXPECT_TRUE(RanOnThenStopped());
}

}  // namespace
}  // namespace pvd
