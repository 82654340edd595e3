// The tray program as a real process, offscreen, in a scratch home: it picks
// up rewrites of the order file, runs as a single instance, and ends on SIGTERM.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>

#include "process.h"
#include "settings_fixture.h"

namespace pvd {
namespace {

using nlohmann::json;
using test::WriteFile;

class Program : public test::ScratchHome {
protected:
    std::string drafts, recLog, order;
    pid_t pid = -1;

    void SetUp() override {
        ScratchHome::SetUp();
        drafts = dir / "dictation/Drafts";
        recLog = dir / "recorder.log";
        order = drafts + "/ridavaruz.xml";
        std::filesystem::create_directories(drafts);
        std::filesystem::create_directories(dir.path() / "run");
        std::filesystem::permissions(dir.path() / "run", std::filesystem::perms::owner_all);
        WriteFile(dir / "machine.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n\"WorkingDirectory\"=\"" +
                                           (dir / "dictation") + "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNR]\n\"PATH\"=\"" +
                                           test::Bin("demo-recorder") + "\"\n");
        env.set("DEMO_RECORDER_LOG", recLog).set("XDG_RUNTIME_DIR", dir / "run").set("QT_QPA_PLATFORM", "offscreen");
    }
    void TearDown() override {
        if (pid > 0 && test::WaitExit(pid, 0) == -1) {
            kill(pid, SIGKILL);
            test::WaitExit(pid);
        }
        ScratchHome::TearDown();
    }
    // Ends the program with a signal; its exit status.
    int Stop(int sig) {
        kill(pid, sig);
        int status = test::WaitExit(pid);
        if (status >= 0) pid = -1;
        if (status != 0) ADD_FAILURE() << "the program's output:\n" << test::ReadFile(dir / ".spawn.out");
        return status;
    }
    static std::string Order(const std::string& mrn, const std::string& acc) {
        return "<DictationData><New><PatientID>" + mrn + "</PatientID><AccessionNumber>" + acc +
               "</AccessionNumber><PatientName>P " + mrn + "</PatientName></New></DictationData>";
    }
    void StartAndWaitUntilReady() {
        pid = test::Spawn({test::Bin("pacs-vantora-driver")}, dir.path().string());
        ASSERT_GT(pid, 0);
        // "Load XML" follows the start lines once start-up has read the order
        // file's date: any later rewrite is a new order.
        const std::string log = dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log";
        auto lines = test::WaitForLines(log, 3);
        ASSERT_GE(lines.size(), 3u) << test::ReadFile(dir / ".spawn.out");
        EXPECT_NE(lines[2].find(" - Load XML "), std::string::npos) << lines[2];
    }
};

TEST_F(Program, EveryRewriteIsLaunchedAndNothingAtStartUp) {
    WriteFile(order, Order("100", "A1"));
    StartAndWaitUntilReady();

    WriteFile(order, Order("200", "B2"));  // rewritten in place
    auto starts = test::WaitForLines(recLog, 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(json::parse(starts[0])["path"], drafts + "/200_B2.iaf");  // not the order present at start-up

    WriteFile(drafts + "/.tmp", Order("300", "C3"));  // replaced by rename
    std::filesystem::rename(drafts + "/.tmp", order);
    starts = test::WaitForLines(recLog, 2);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(json::parse(starts[1])["path"], drafts + "/300_C3.iaf");

    WriteFile(order, "<DictationData><New><PatientID>400");  // torn: not an order
    WriteFile(order, Order("500", "E5"));
    starts = test::WaitForLines(recLog, 3);
    ASSERT_GE(starts.size(), 3u);
    for (const auto& s : starts) EXPECT_EQ(json::parse(s)["path"].get<std::string>().find("400"), std::string::npos);
    EXPECT_EQ(json::parse(starts.back())["path"], drafts + "/500_E5.iaf") << test::ReadFile(recLog) << test::ReadFile(dir / ".spawn.out");
    EXPECT_FALSE(std::filesystem::exists(drafts + "/100_A1.iaf"));

    EXPECT_EQ(Stop(SIGTERM), 0);
}

TEST_F(Program, ASecondInstanceEndsAtOnceAndLeavesTheFirstRunning) {
    StartAndWaitUntilReady();
    auto second = test::Run({test::Bin("pacs-vantora-driver")}, dir.path().string());
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(test::WaitExit(pid, 0), -1);  // the first still runs

    WriteFile(order, Order("600", "F6"));
    EXPECT_EQ(test::WaitForLines(recLog, 1).size(), 1u);

    EXPECT_EQ(Stop(SIGINT), 0);
    // Its lock is gone with it: a new start is the only instance again.
    StartAndWaitUntilReady();
    EXPECT_EQ(test::WaitExit(pid, 200), -1);
    EXPECT_EQ(Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace pvd
