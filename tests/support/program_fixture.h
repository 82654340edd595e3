#pragma once

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "child_process.h"
#include "platform/settings_store.h"
#include "settings_fixture.h"
#ifdef _WIN32
#include <sddl.h>

#include "machine_registry.h"
#endif

namespace pvd::test {

#ifdef _WIN32
// Sets a key's access rules, in the security descriptor language (Wine
// enforces them on the registry). The rules given must keep WRITE_DAC, so
// that the test can open the key again.
inline bool KeyRules(HKEY root, const std::string& key, const std::string& rules) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(win32::Wide(rules).c_str(), SDDL_REVISION_1, &sd, nullptr)) return false;
    HKEY k = nullptr;
    LONG r = RegOpenKeyExW(root, win32::Wide(key).c_str(), 0, WRITE_DAC, &k);
    if (r == ERROR_SUCCESS) {
        r = RegSetKeySecurity(k, DACL_SECURITY_INFORMATION, sd);
        RegCloseKey(k);
    }
    LocalFree(sd);
    return r == ERROR_SUCCESS;
}
#endif

// Moves a new version of a file into place, as its writer does. On Windows
// a file that a reader holds open a moment cannot be replaced just then
// (under Wine, whatever the reader shares): writers there try again.
inline void MoveInto(const std::string& from, const std::string& to) {
    std::error_code ec;
    for (int tries = 0; tries < 2000; ++tries, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        if (std::filesystem::rename(from, to, ec), !ec) return;
    ADD_FAILURE() << "cannot move " << from << " to " << to << ": " << ec.message();
}

// Rewrites a file in place as a careless writer does: no truncation, the
// first `cut` bytes, a pause with the file open, then the rest. A reader
// holding it a moment may refuse a writer on Windows: it tries again.
inline void PausingWrite(const std::string& path, const std::string& bytes, std::size_t cut, int pauseMs) {
    std::FILE* f = nullptr;
    WaitUntil([&] { return (f = std::fopen(path.c_str(), "r+b")) != nullptr; }, 2000);
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, cut, f), cut);
    ASSERT_EQ(std::fflush(f), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    ASSERT_EQ(std::fwrite(bytes.data() + cut, 1, bytes.size() - cut, f), bytes.size() - cut);
    std::fclose(f);
}

// Where an order's MRN ends: cut there, the half state reads as an order with
// the new MRN and the old accession number and name.
inline std::size_t AfterMrn(const std::string& order) { return order.find("</PatientID>") + std::string("</PatientID>").size(); }

// A field of a recorder start, "(none)" when the file has none.
inline std::string Field(const nlohmann::json& start, const std::string& name) {
    for (const auto& f : start["fields"])
        if (f["name"] == name) return f["value"];
    return "(none)";
}

// The tray program as a real process, without a window (offscreen on POSIX,
// its message-only window on Windows), in a scratch home whose machine values
// name the demo recorder. On Windows the machine values and the user's
// settings live in the prefix's registry, which all its processes share:
// suites built on this take the machine-registry lock there.
class Program : public ScratchHome {
protected:
    std::string drafts, recLog, order;
    ChildId pid = kNoChild;
    // Put before the program's path: another user, say.
    std::vector<std::string> runAs;

    void SetUp() override {
        ScratchHome::SetUp();
        drafts = NativePath(dir / "dictation/Drafts");
        recLog = dir / "recorder.log";
        order = NativePath(drafts + "/ridavaruz.xml");
        std::filesystem::create_directories(drafts);
        std::filesystem::create_directories(dir.path() / "run");
        std::filesystem::permissions(dir.path() / "run", std::filesystem::perms::owner_all);
#ifdef _WIN32
        // GetTempPath takes TMP before TEMP; the journal goes below LOCALAPPDATA.
        // Without a display the program runs on its message-only window.
        env.set("TMP", dir / "temp").set("LOCALAPPDATA", dir / "state").set("DISPLAY", std::nullopt);
#endif
        Configure(dir / "dictation", Bin("demo-recorder"));
        env.set("DEMO_RECORDER_LOG", recLog).set("XDG_RUNTIME_DIR", dir / "run").set("QT_QPA_PLATFORM", "offscreen");
    }
    void TearDown() override {
        if (pid != kNoChild && WaitExit(pid, 0) == -1) {
#ifdef _WIN32
            TerminateProcess(pid, 99);
#else
            kill(pid, SIGKILL);
#endif
            WaitExit(pid);
        }
        pid = kNoChild;
#ifdef _WIN32
        RemoveMachineKey("SOFTWARE\\Vantora");
#endif
        ScratchHome::TearDown();
    }
    // The dictation root and the recorder in the machine values; an empty
    // recorder leaves it out.
    void Configure(const std::string& root, const std::string& recorder) {
#ifdef _WIN32
        ASSERT_TRUE(SetMachineValue("SOFTWARE\\Vantora\\VNRecorder", "WorkingDirectory", NativePath(root)));
        ASSERT_TRUE(SetMachineValue("SOFTWARE\\Vantora\\VNR", "PATH", recorder.empty() ? std::nullopt : std::optional(NativePath(recorder))));
#else
        std::string reg = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNRecorder]\n\"WorkingDirectory\"=\"" + root + "\"\n";
        if (!recorder.empty()) reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantora\\VNR]\n\"PATH\"=\"" + recorder + "\"\n";
        WriteFile(dir / "machine.reg", reg);
#endif
    }
    // A setting of the user's, in the settings store the program reads.
    void UserSetting(const std::string& key, const std::string& value) {
        std::string error;
        ASSERT_TRUE(WriteStoredSetting("Vantora Recorder", "Defaults", key, value, &error)) << error;
    }
    std::string LogFile() const { return NativePath(dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log"); }
    // Waits until the running program's journal holds its start-up load (a
    // --launch journals its load, but no start): for a run without a log.
    bool StartedUp() {
        const std::string journal = NativePath(dir / "state/Vantora/VNRecorder/journal.jsonl");
        return WaitUntil([&] {
            const std::string events = ReadFile(journal);
            const std::size_t start = events.rfind("\"event\":\"start\"");
            return start != std::string::npos && events.find("\"event\":\"load\"", start) != std::string::npos;
        });
    }
    // Two launches that need no log to wait on: --launch of order 1, then the
    // running program's launch of order 2, as it loads it (both logged, as far
    // as the log can be written).
    void LaunchThenLaunchInTheRunningProgram() {
        WriteFile(order, Order("1", "A"));
        const RunResult launched = test::Run({Bin("pacs-vantora-driver"), "--launch", order}, dir.path().string());
        EXPECT_EQ(launched.status, 0) << launched.err;
        pid = Spawn({Bin("pacs-vantora-driver")}, dir.path().string());
        ASSERT_TRUE(StartedUp()) << ReadFile(dir / ".spawn.out");
        WriteFile(order, Order("2", "B"));
        ASSERT_EQ(WaitForLines(recLog, 2).size(), 2u) << ReadFile(dir / ".spawn.out") << ReadFile(LogFile());
    }
    // Waits until the log holds the text.
    bool Logs(const std::string& text, int timeoutMs = 15000) {
        return WaitUntil([&] { return ReadFile(LogFile()).find(text) != std::string::npos; }, timeoutMs);
    }
    // The recorder's starts, once there are `n` of them or the time is up.
    std::vector<nlohmann::json> Starts(std::size_t n, int timeoutMs = 15000) {
        std::vector<nlohmann::json> out;
        for (const auto& l : WaitForLines(recLog, n, timeoutMs)) out.push_back(nlohmann::json::parse(l));
        return out;
    }
    // The journal's last `count` events, as --journal --json gives them.
    std::vector<nlohmann::json> Journal(int count = 100) {
        const RunResult r = test::Run({Bin("pacs-vantora-driver"), "--journal", "--json", std::to_string(count)}, dir.path().string());
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<nlohmann::json> events;
        for (std::size_t start = 0, nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1)
            events.push_back(nlohmann::json::parse(r.out.substr(start, nl - start)));
        return events;
    }
    // Whether the program still runs; once it has ended, it is no child any more.
    bool Alive() {
        if (pid == kNoChild) return false;
        if (WaitExit(pid, 0) == -1) return true;
        pid = kNoChild;
        return false;
    }
    // Whether the program still ran, and then ended in order with status 0.
    bool RanOnThenStopped() { return Alive() && Stop(SIGTERM) == 0; }
    // Ends the program in order: the signal on POSIX; on Windows, which has
    // no such signals, the end of the session (WM_ENDSESSION to its window).
    // Its exit status.
    int Stop([[maybe_unused]] int sig) {
        if (pid == kNoChild) {
            ADD_FAILURE() << "the program is not running";
            return -2;
        }
#ifdef _WIN32
        if (!EndSession(pid)) ADD_FAILURE() << "the program shows no window to end";
#else
        kill(pid, sig);
#endif
        int status = WaitExit(pid);
        if (status != -1) pid = kNoChild;
        if (status != 0) ADD_FAILURE() << "the program's output:\n" << ReadFile(dir / ".spawn.out");
        return status;
    }
#ifdef _WIN32
    // Tells the program's window (message-only without a display) that the
    // session ends, once the window is there.
    static bool EndSession(HANDLE process) {
        const DWORD id = GetProcessId(process);
        for (int waited = 0; waited < 10000; waited += 10) {
            for (HWND parent : {HWND_MESSAGE, HWND(nullptr)})
                for (HWND w = nullptr; (w = FindWindowExW(parent, w, L"PacsVantoraDriverForm1", nullptr)) != nullptr;) {
                    DWORD owner = 0;
                    GetWindowThreadProcessId(w, &owner);
                    if (owner == id) return PostMessageW(w, WM_ENDSESSION, TRUE, 0);
                }
            if (WaitForSingleObject(process, 10) != WAIT_TIMEOUT) return false;
        }
        return false;
    }
#endif

public:
    static std::string Order(const std::string& mrn, const std::string& acc) {
        return "<DictationData><New><PatientID>" + mrn + "</PatientID><AccessionNumber>" + acc +
               "</AccessionNumber><PatientName>P " + mrn + "</PatientName></New></DictationData>";
    }
    void StartAndWaitUntilReady() {
        // A log left by an earlier run must not pass for this one's.
        std::filesystem::remove(LogFile());
        std::vector<std::string> argv = runAs;
        argv.push_back(Bin("pacs-vantora-driver"));
        pid = Spawn(argv, dir.path().string());
        ASSERT_NE(pid, kNoChild) << "the program could not be started";
        // "Load XML" follows the start lines once start-up has read the order
        // file: any later rewrite is a new order.
        auto loaded = [&] {
            auto lines = WaitForLines(LogFile(), 0, 0);
            for (std::size_t i = 2; i < lines.size(); ++i)
                if (lines[i].find(" - Load XML ") != std::string::npos) return true;
            return false;
        };
        ASSERT_TRUE(WaitUntil(loaded)) << ReadFile(LogFile()) << ReadFile(dir / ".spawn.out");
    }
};

}  // namespace pvd::test
