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
    // --launch in a child that first changes its limits or user.
    template <typename Prepare>
    int LaunchPrepared(Prepare prepare) {
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
        return test::WaitExit(pid);
    }
#endif
    void Registry(const std::string& recorder) { Configure(dir / "dictation", recorder); }
    std::vector<std::string> LogLines() { return test::WaitForLines(LogFile(), 0, 0); }
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
    EXPECT_TRUE(Alive());
    EXPECT_EQ(Stop(SIGTERM), 0);
}

#ifndef _WIN32
// Windows' form of it, a folder whose access rules deny the user new files,
// cannot be made under Wine: it enforces no file access rules, and runs as
// root here, whom permission bits do not stop.
TEST_F(Faults, ReadOnlyDraftsFolder) {
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    std::filesystem::permissions(dir.path() / "dictation", std::filesystem::perms::all);
    std::filesystem::permissions(drafts, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                             std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
    std::filesystem::permissions(dir.path() / "machine.reg", std::filesystem::perms::all);
    std::filesystem::permissions(orderFile, std::filesystem::perms::all);
    std::filesystem::create_directories(dir.path() / "temp");
    std::filesystem::permissions(dir.path() / "temp", std::filesystem::perms::all);
    std::filesystem::create_directories(dir.path() / "home");
    std::filesystem::permissions(dir.path() / "home", std::filesystem::perms::all);
    // Root writes anywhere: the launch runs as an unprivileged user.
    int status = LaunchPrepared([] {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(125);
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(ReadFile(dir / "prepared.err"), "Unable to create " + drafts + "/987_A678.iaf\n");
    EXPECT_FALSE(std::filesystem::exists(drafts + "/987_A678.iaf"));
}

// A file-size limit stands in for the full disk; Wine can fill no drive
// short of mounting a small file system, which the tests cannot do.
TEST_F(Faults, FullDiskLeavesNoHalfMadeFile) {
    WriteFile(orderFile, "<DictationData><New><PatientID>987</PatientID><AccessionNumber>A678</AccessionNumber><Notes>" +
                             std::string(256 * 1024, 'n') + "</Notes></New></DictationData>");
    int status = LaunchPrepared([] {
        signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
        struct rlimit lim{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
    });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(ReadFile(dir / "prepared.err"), "Unable to create " + drafts + "/987_A678.iaf\n");
    EXPECT_FALSE(std::filesystem::exists(drafts + "/987_A678.iaf"));
    for (const auto& e : std::filesystem::directory_iterator(drafts))
        EXPECT_TRUE(e.path() == existing) << "left behind: " << e.path();
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

TEST_F(Faults, ProgramWithoutItsLibrariesRunsOn) {
    const auto lone = dir.path() / "lone" / "bin";
    std::filesystem::create_directories(lone);
    const std::string program = (lone / std::filesystem::path(test::Bin("pacs-vantora-driver")).filename()).string();
    std::filesystem::copy_file(test::Bin("pacs-vantora-driver"), program);
    pid = test::Spawn({program}, dir.path().string());
    ASSERT_NE(pid, test::kNoChild);
    ASSERT_GE(test::WaitForLines(LogFile(), 3).size(), 3u);
    WriteFile(order, Order("3", "C"));
    // The load is logged, the creation fails (its message is shown), nothing is started.
    EXPECT_TRUE(test::WaitUntil([&] { return LogLines().size() >= 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(Draft("3_C.iaf")));
    EXPECT_FALSE(std::filesystem::exists(recLog));
    EXPECT_TRUE(Alive());
    EXPECT_EQ(Stop(SIGTERM), 0);
}

#ifdef _WIN32
// The registry has no file to garble: its forms of a corrupt value are one of
// the wrong type and text that is no UTF-16 (an odd length, a lone
// surrogate); of an unreadable one, a key whose access rules deny reading.
TEST_F(Faults, CorruptOrUnreadableRegistryAndSettings) {
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
    auto r = test::Run({test::Bin("pacs-vantora-driver"), "--paths"}, dir.path().string());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("drafts folder: C:\\VnFiles\\Drafts  (built-in default)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("recorder: (none)"), std::string::npos) << r.out;

    // The program starts on the built-in defaults and keeps running.
    StartAndWaitUntilReady();
    EXPECT_TRUE(Alive());
    EXPECT_EQ(Stop(SIGTERM), 0);
}
#else
TEST_F(Faults, CorruptOrUnreadableRegistryAndSettings) {
    WriteFile(dir / "machine.reg", std::string("\xFF\xFE\x00\xD8garbage[HKEY_LOCAL", 21));
    std::filesystem::create_directories(dir.path() / "config" / "Vantora Recorder" / "settings.ini");  // a folder: unreadable as a file
    auto r = test::Run({test::Bin("pacs-vantora-driver"), "--paths"}, dir.path().string());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("drafts folder: " + (dir / "home/VnFiles/Drafts") + "  (built-in default)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("recorder: (none)"), std::string::npos);

    // The program starts on the built-in defaults and keeps running.
    StartAndWaitUntilReady();
    EXPECT_TRUE(Alive());
    EXPECT_EQ(Stop(SIGTERM), 0);
}
#endif

TEST_F(Faults, LogFolderThatCannotExist) {
    WriteFile(dir / "blocker", "a file where the temporary folder should be");
    env.set("TEMP", NativePath(dir / "blocker/tmp"));
#ifdef _WIN32
    env.set("TMP", NativePath(dir / "blocker/tmp"));
#endif
    auto r = Launch(orderFile);
    EXPECT_EQ(r.status, 0) << r.err;
    pid = test::Spawn({test::Bin("pacs-vantora-driver")}, dir.path().string());
    ASSERT_TRUE(StartedUp()) << ReadFile(dir / ".spawn.out");
    WriteFile(order, Order("4", "D"));
    EXPECT_EQ(test::WaitForLines(recLog, 2).size(), 2u)  // the --launch and this one
        << ReadFile(dir / ".spawn.out") << ReadFile(NativePath(dir / "state/Vantora/VNRecorder/journal.jsonl"));
    EXPECT_TRUE(Alive());
    EXPECT_EQ(Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace pvd
