// Faults around the program: missing or read-only drafts folder, full disk,
// missing or broken recorder, libraries, registry, settings and log folder.
// Each time the program carries on, reports as it should, and no existing
// dictation file changes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <csignal>

#include "program_fixture.h"

namespace pvd {
namespace {

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
        existing = drafts + "/111_OLD.iaf";
        existingBytes = std::string("RIFF") + std::string(40, '\x01') + "recorded audio";
        WriteFile(existing, existingBytes);
    }
    void TearDown() override {
        if (!existing.empty() && std::filesystem::exists(existing)) {
            EXPECT_EQ(ReadFile(existing), existingBytes);
        }
        Program::TearDown();
    }
    test::RunResult Launch(const std::string& file) {
        return test::Run({test::Bin("pacs-vantora-driver"), "--launch", file}, dir.path().string());
    }
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
    void Registry(const std::string& recorder) {
        WriteFile(dir / "machine.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n\"WorkingDirectory\"=\"" +
                                           (dir / "dictation") + "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNR]\n\"PATH\"=\"" +
                                           recorder + "\"\n");
    }
    bool Alive() { return test::WaitExit(pid, 0) == -1; }
    std::string LogFile() const { return dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log"; }
    std::vector<std::string> LogLines() {
        return test::WaitForLines(dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log", 0, 0);
    }
};

TEST_F(Faults, DraftsFolderMissingThenBack) {
    std::filesystem::remove(existing);
    existing.clear();
    std::filesystem::remove(drafts);
    auto r = Launch(orderFile);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to create " + drafts + "/987_A678.iaf\n");
    EXPECT_FALSE(std::filesystem::exists(drafts));

    // The running program, watching an order file outside the drafts folder:
    // the launch fails (its message is shown) and the program carries on.
    std::filesystem::create_directories(dir.path() / "pacs");
    WriteSettings("[Defaults]\nXMLDataPath=" + (dir / "pacs/order.xml") + "\n");
    StartAndWaitUntilReady();
    WriteFile(dir / "pacs/order.xml", Order("1", "X"));
    const std::string log = dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log";
    EXPECT_GE(test::WaitForLines(log, 4).size(), 4u);  // the load of the new order
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(recLog));
    EXPECT_TRUE(Alive());

    std::filesystem::create_directories(drafts);  // the folder is back
    WriteFile(dir / "pacs/order.xml", Order("2", "Y"));
    auto starts = test::WaitForLines(recLog, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_NE(starts[0].find("2_Y.iaf"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(drafts + "/1_X.iaf"));
    EXPECT_TRUE(Alive());
    EXPECT_EQ(Stop(SIGTERM), 0);
}

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

TEST_F(Faults, RecorderMissingOrNotAProgram) {
    Registry(dir / "no/such/recorder");
    auto r = Launch(orderFile);
    EXPECT_EQ(r.status, 4);  // the file is ready, the recorder did not start
    EXPECT_EQ(r.err, "Unable to start the recorder " + (dir / "no/such/recorder") + "\n");
    EXPECT_TRUE(std::filesystem::exists(drafts + "/987_A678.iaf"));

    WriteFile(dir / "recorder.txt", "not a program");
    Registry(dir / "recorder.txt");
    StartAndWaitUntilReady();
    WriteFile(order, Order("2", "B"));
    for (int i = 0; i < 100 && !std::filesystem::exists(drafts + "/2_B.iaf"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(std::filesystem::exists(drafts + "/2_B.iaf"));
    EXPECT_TRUE(Alive());
    // The log names the recorder and why it did not start.
    for (int i = 0; i < 100 && ReadFile(LogFile()).find("Unable to start the recorder") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(ReadFile(LogFile()).find("Unable to start the recorder " + (dir / "recorder.txt") + ": "), std::string::npos);
    EXPECT_EQ(Stop(SIGTERM), 0);
}

TEST_F(Faults, ProgramWithoutItsLibrariesRunsOn) {
    const auto lone = dir.path() / "lone" / "bin";
    std::filesystem::create_directories(lone);
    std::filesystem::copy_file(test::Bin("pacs-vantora-driver"), lone / "pacs-vantora-driver");
    pid = test::Spawn({(lone / "pacs-vantora-driver").string()}, dir.path().string());
    ASSERT_GT(pid, 0);
    ASSERT_GE(test::WaitForLines(dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log", 3).size(), 3u);
    WriteFile(order, Order("3", "C"));
    // The load is logged, the creation fails (its message is shown), nothing is started.
    for (int i = 0; i < 200 && LogLines().size() < 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(LogLines().size(), 4u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(drafts + "/3_C.iaf"));
    EXPECT_FALSE(std::filesystem::exists(recLog));
    EXPECT_TRUE(Alive());
    EXPECT_EQ(Stop(SIGTERM), 0);
}

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

TEST_F(Faults, LogFolderThatCannotExist) {
    WriteFile(dir / "blocker", "a file where the temporary folder should be");
    env.set("TEMP", dir / "blocker/tmp");
    auto r = Launch(orderFile);
    EXPECT_EQ(r.status, 0) << r.err;
    pid = test::Spawn({test::Bin("pacs-vantora-driver")}, dir.path().string());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    WriteFile(order, Order("4", "D"));
    EXPECT_EQ(test::WaitForLines(recLog, 2).size(), 2u);  // the --launch and this one
    EXPECT_TRUE(Alive());
    EXPECT_EQ(Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace pvd
