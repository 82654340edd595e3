#pragma once

#include <csignal>
#include <filesystem>
#include <string>

#include "child_process.h"
#include "settings_fixture.h"

namespace pvd::test {

// The tray program as a real process, offscreen, in a scratch home whose
// machine registry names the demo recorder.
class Program : public ScratchHome {
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
                                           Bin("demo-recorder") + "\"\n");
        env.set("DEMO_RECORDER_LOG", recLog).set("XDG_RUNTIME_DIR", dir / "run").set("QT_QPA_PLATFORM", "offscreen");
    }
    void TearDown() override {
        if (pid > 0 && WaitExit(pid, 0) == -1) {
            kill(pid, SIGKILL);
            WaitExit(pid);
        }
        ScratchHome::TearDown();
    }
    // Ends the program with a signal; its exit status.
    int Stop(int sig) {
        kill(pid, sig);
        int status = WaitExit(pid);
        if (status >= 0) pid = -1;
        if (status != 0) ADD_FAILURE() << "the program's output:\n" << ReadFile(dir / ".spawn.out");
        return status;
    }
public:
    static std::string Order(const std::string& mrn, const std::string& acc) {
        return "<DictationData><New><PatientID>" + mrn + "</PatientID><AccessionNumber>" + acc +
               "</AccessionNumber><PatientName>P " + mrn + "</PatientName></New></DictationData>";
    }
    void StartAndWaitUntilReady() {
        // A log left by an earlier run must not pass for this one's.
        std::filesystem::remove(dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log");
        pid = Spawn({Bin("pacs-vantora-driver")}, dir.path().string());
        ASSERT_GT(pid, 0);
        // "Load XML" follows the start lines once start-up has read the order
        // file: any later rewrite is a new order.
        const std::string log = dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log";
        auto loaded = [&] {
            auto lines = WaitForLines(log, 0, 0);
            for (std::size_t i = 2; i < lines.size(); ++i)
                if (lines[i].find(" - Load XML ") != std::string::npos) return true;
            return false;
        };
        for (int waited = 0; waited < 15000 && !loaded(); waited += 10) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(loaded()) << ReadFile(log) << ReadFile(dir / ".spawn.out");
    }
};

}  // namespace pvd::test
