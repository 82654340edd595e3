// The real program against a hostile local user and hostile files: a link
// planted where the log goes, settings files it cannot read, garbage lock
// files, an order path that is a FIFO, and order files built to exhaust it.
// Time and memory are measured on the real processes and asserted with a
// margin that cannot flake; the measured numbers are printed.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <psapi.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "program_fixture.h"

namespace pvd {
namespace {

using nlohmann::json;
using test::NativePath;
using test::ReadFile;
using test::WriteFile;
namespace fs = std::filesystem;

struct Measured {
    int status = -1;
    double seconds = 0;
    long peakKb = 0;  // the child's peak resident memory
    std::string out;
};

#ifdef _WIN32
// A /proc file, read without throwing: its process may end meanwhile, and
// the read then fails.
std::string ProcText(const fs::path& file) {
    std::string text;
    if (std::FILE* f = _wfopen(file.c_str(), L"rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// Wine reports no memory use of other processes. Its processes are Linux
// processes, whose /proc it shows on drive Z:, each with the Windows command
// line as its own and with the Windows environment: the one that runs
// `program` with `marker` in its environment (a scratch folder) is ours.
std::string WineProcFolder(const std::string& program, const std::string& marker) {
    // Processes come and go meanwhile: an entry that vanished is no error.
    std::error_code ec;
    for (auto it = fs::directory_iterator("Z:\\proc", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& p = it->path();
        if (p.filename().string().find_first_not_of("0123456789") != std::string::npos) continue;
        if (ProcText(p / "cmdline").find(program) == std::string::npos) continue;
        if (ProcText(p / "environ").find(marker) != std::string::npos) return p.string();
    }
    return {};
}

long ProcStatusKb(const std::string& procFolder, const std::string& field) {
    const std::string status = ProcText(fs::path(procFolder) / "status");
    const std::size_t at = status.find("\n" + field + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + field.size() + 2);
}

// The program's memory in KiB: its peak ("VmHWM") or its present size
// ("VmRSS"), from the system, or where it gives none (Wine), from /proc.
long MemoryKb(HANDLE process, const std::string& procFolder, const std::string& field) {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(process, &pmc, sizeof pmc) && pmc.PeakWorkingSetSize > 0)
        return static_cast<long>((field == "VmHWM" ? pmc.PeakWorkingSetSize : pmc.WorkingSetSize) / 1024);
    return procFolder.empty() ? -1 : ProcStatusKb(procFolder, field);
}

// Runs a program and measures its wall time and peak memory (its high-water
// mark, read until it ends).
Measured RunMeasured(const std::vector<std::string>& args, const std::string& scratch) {
    const std::string outFile = scratch + "/.measured.out";
    fs::remove(outFile);
    Measured m;
    const auto start = std::chrono::steady_clock::now();
    const HANDLE child = test::SpawnTo(args, outFile, scratch + "/.measured.err");
    if (!child) return m;
    const std::string program = fs::path(args[0]).filename().string();
    std::string proc;
    for (int waited = 0; WaitForSingleObject(child, 2) == WAIT_TIMEOUT; waited += 2) {
        if (proc.empty()) proc = WineProcFolder(program, scratch);
        m.peakKb = std::max(m.peakKb, MemoryKb(child, proc, "VmHWM"));
        if (waited > 120000) TerminateProcess(child, 99);
    }
    m.peakKb = std::max(m.peakKb, MemoryKb(child, {}, "VmHWM"));
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.status = test::WaitExit(child, 0);
    m.out = ReadFile(outFile);
    return m;
}
#else
constexpr const char* kSetpriv = "/usr/bin/setpriv";
const std::vector<std::string> kAsNobody = {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};

// Runs a program and measures its wall time and peak memory.
// A child's peak counts from the peak of the process it was forked from: a
// test process grown by earlier tests would hide the program's own. GNU time,
// small itself, forks the program and reports the program's peak alone.
Measured RunMeasured(const std::vector<std::string>& args, const std::string& scratch) {
    const std::string outFile = scratch + "/.measured.out", peakFile = scratch + "/.measured.peak";
    fs::remove(outFile);
    fs::remove(peakFile);
    Measured m;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> timed = {"/usr/bin/time", "-f", "%M", "-o", peakFile};
    timed.insert(timed.end(), args.begin(), args.end());
    const pid_t pid = test::SpawnTo(timed, outFile, scratch + "/.measured.err");
    if (pid <= 0) return m;
    for (int waited = 0;; waited += 5) {
        int st = 0;
        struct rusage ru{};
        const pid_t r = wait4(pid, &st, WNOHANG, &ru);
        if (r == pid) {
            m.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            // GNU time ends with the program's status, or 128 + its signal.
            const std::string peak = ReadFile(peakFile);
            const std::size_t last = peak.find_last_not_of("\n");
            m.peakKb = last == std::string::npos ? 0 : std::atol(peak.substr(peak.rfind('\n', last) + 1).c_str());
            break;
        }
        if (r < 0 || waited > 120000) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.out = ReadFile(outFile);
    return m;
}

long StatusKb(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    return -1;
}
#endif

std::string AttributeFlood(int attributes) {
    std::string s = "<DictationData><New><PatientID";
    for (int i = 0; i < attributes; ++i) s += " a" + std::to_string(i) + "=\"\"";
    return s + ">1</PatientID></New></DictationData>";
}

// 1.2 million leaves under 250 levels: 9.6 MB whose paths would be
// gigabytes. Written piece by piece: the test's own memory must stay below
// the program's, since a child starts its peak from its parent's.
void WritePathExplosion(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < 250; ++i) out << "<a>";
    for (int i = 0; i < 1'200'000; ++i) out << "<a>1</a>";
    for (int i = 0; i < 250; ++i) out << "</a>";
}

class Hostile : public test::Program {
protected:
    // Waits until the log holds the text; the seconds it took, or -1.
    double WaitForLog(const std::string& log, const std::string& text, int timeoutMs = 15000) {
        const auto start = std::chrono::steady_clock::now();
        for (int waited = 0; waited <= timeoutMs; waited += 5) {
            if (ReadFile(log).find(text) != std::string::npos)
                return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    // The round that saves settings and writes the log: the running program
    // loads order 1 at its start and launches order 2, then --launch once more
    // (each as `runAs`).
    void LoadLaunchAndLaunchAgain() {
        WriteFile(order, Order("1", "A"));
        StartAndWaitUntilReady();
        WriteFile(order, Order("2", "B"));
        ASSERT_EQ(test::WaitForLines(recLog, 1).size(), 1u) << ReadFile(LogFile());
        EXPECT_EQ(Stop(SIGTERM), 0);
        std::vector<std::string> launch = runAs;
        launch.insert(launch.end(), {test::Bin("pacs-vantora-driver"), "--launch", order});
        const auto launched = test::Run(launch, dir.path().string());
        EXPECT_EQ(launched.status, 0) << launched.err;
    }
    // An order path that is no regular file: --load and --launch refuse it at once.
    void ExpectRefusedAtOnce(const std::string& path) {
        for (const auto& [option, status] : {std::pair{"--load", 0}, {"--launch", 3}}) {
            SCOPED_TRACE(option);
            const Measured m = RunMeasured({test::Bin("pacs-vantora-driver"), option, path}, dir.path().string());
            std::cout << option << " of " << path << ": " << m.seconds << " s\n";
            EXPECT_EQ(m.status, status);
            EXPECT_LT(m.seconds, 10.0);
            if (status == 0 && m.status == 0) {
                EXPECT_FALSE(json::parse(m.out)["result"].get<bool>());
            }
        }
    }
#ifdef _WIN32
    // The running program's memory in KiB ("VmHWM" its peak, "VmRSS" now).
    long RunningKb(const std::string& field) {
        return MemoryKb(pid, WineProcFolder("pacs-vantora-driver.exe", dir.path().string()), field);
    }
    // The access rules of the user's settings key, in the security
    // descriptor language.
    static bool SettingsKeyRules(const char* rules) {
        return test::KeyRules(HKEY_CURRENT_USER, "Software\\VB and VBA Program Settings\\Vantora Recorder\\Defaults", rules);
    }
    void TearDown() override {
        SettingsKeyRules("D:P(A;;KA;;;WD)");  // removable again, whatever the test left
        Program::TearDown();
    }
    // A setting's type and bytes as stored.
    std::pair<DWORD, std::string> Stored(const wchar_t* name) {
        DWORD type = 0, size = 0;
        if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_ANY, &type, nullptr, &size) != ERROR_SUCCESS) return {};
        std::string bytes(size, '\0');
        RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, bytes.data(), &size);
        return {type, bytes.substr(0, size)};
    }
    static constexpr const wchar_t* kSettingsKey = L"Software\\VB and VBA Program Settings\\Vantora Recorder\\Defaults";
#else
    long RunningKb(const std::string& field) { return StatusKb(pid, field); }
    void NeedSetpriv() {
        if (!fs::exists(kSetpriv) || geteuid() != 0) GTEST_SKIP() << "needs root and setpriv to act as another user";
    }
#endif
};

#ifndef _WIN32
// Other users, links and permission bits: POSIX's forms (Windows' below).
TEST_F(Hostile, ALinkPlantedWhereTheLogGoesLeavesItsTargetAlone) {
    NeedSetpriv();
    // Another user makes the program's folder first in a shared, sticky
    // folder (as /tmp is), with a link named like the log to the user's file.
    fs::permissions(dir.path(), fs::perms(0755));
    const std::string shared = dir / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms(01777));
    const std::string victim = dir / "home/notes.txt";
    WriteFile(victim, "the user's own notes\n");
    std::vector<std::string> plant = kAsNobody;
    plant.insert(plant.end(), {"/bin/sh", "-c", "mkdir -p \"$0/Vantora/VNRecorder\" && chmod -R 777 \"$0/Vantora\" && "
                                                "ln -s \"$1\" \"$0/Vantora/VNRecorder/pacs-vantora-driver.log\"",
                               shared, victim});
    auto planted = test::Run(plant, dir.path().string());
    ASSERT_EQ(planted.status, 0) << planted.err;
    env.set("TEMP", shared);

    ASSERT_NO_FATAL_FAILURE(LaunchThenLaunchInTheRunningProgram());  // each asks the log to write
    EXPECT_EQ(Stop(SIGTERM), 0);

    EXPECT_EQ(ReadFile(victim), "the user's own notes\n");
    EXPECT_TRUE(fs::is_symlink(shared + "/Vantora/VNRecorder/pacs-vantora-driver.log"));
    const std::string err = ReadFile(dir / ".spawn.out");
    const std::string said = "the activity log is off: the folder " + shared + "/Vantora/VNRecorder belongs to another user";
    EXPECT_NE(err.find(said), std::string::npos) << err;
    EXPECT_EQ(err.find(said), err.rfind(said)) << "said more than once:\n" << err;
}

TEST_F(Hostile, WithoutTempTheLogIsPrivateInTheRuntimeFolder) {
    env.set("TEMP", std::nullopt);
    auto paths = test::Run({test::Bin("pacs-vantora-driver"), "--paths"}, dir.path().string());
    const std::string folder = dir / "run/Vantora/VNRecorder";
    EXPECT_NE(paths.out.find("temporary folder: " + folder + "  (environment XDG_RUNTIME_DIR (for TEMP))"), std::string::npos)
        << paths.out;
    EXPECT_NE(paths.out.find("log file: " + folder + "/pacs-vantora-driver.log\n"), std::string::npos) << paths.out;
    pid = test::Spawn({test::Bin("pacs-vantora-driver")}, dir.path().string());
    const std::string log = folder + "/pacs-vantora-driver.log";
    EXPECT_GE(WaitForLog(log, " - Load XML "), 0) << ReadFile(dir / ".spawn.out");
    EXPECT_EQ(fs::status(log).permissions() & fs::perms::all, fs::perms(0600));
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms(0700));
    EXPECT_EQ(Stop(SIGTERM), 0);
}

TEST_F(Hostile, SettingsThatCannotBeReadAreLeftByteForByte) {
    const std::string text = "[Defaults]\r\nProfilePathFilename=/srv/profiles/ann.pfl\r\n[ann]\r\nDefault Path=/srv/ann\r\n";
    // Too large for the reader: read as empty, so never written.
    WriteSettings(text);
    fs::resize_file(Settings(), 17u * 1024 * 1024);
    const std::string before = ReadFile(Settings());
    ASSERT_NO_FATAL_FAILURE(LoadLaunchAndLaunchAgain());
    EXPECT_TRUE(ReadFile(Settings()) == before) << "the settings file changed";
    EXPECT_TRUE(Logs(" - Unable to save setting VerboseLogDate: File " + Settings() + " is larger than")) << ReadFile(LogFile());
}

TEST_F(Hostile, SettingsWithoutReadPermissionAreLeftByteForByte) {
    NeedSetpriv();
    // The user's own settings, made unreadable (mode 000); the program runs as that user.
    const std::string text = "[Defaults]\nXMLDataPath=" + order + "\nVerboseLog=1\n";
    WriteSettings(text);
    fs::permissions(Settings(), fs::perms::none);
    fs::permissions(dir.path(), fs::perms(0755));
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) lchown(e.path().c_str(), 65534, 65534);
    ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
    runAs = kAsNobody;
    ASSERT_NO_FATAL_FAILURE(LoadLaunchAndLaunchAgain());

    EXPECT_EQ(fs::status(Settings()).permissions() & fs::perms::mask, fs::perms::none);
    EXPECT_EQ(ReadFile(Settings()), text);  // read as root
    EXPECT_TRUE(Logs(" - Unable to save setting VerboseLogDate: Cannot open file " + Settings() + ": Permission denied"))
        << ReadFile(LogFile());
}

TEST_F(Hostile, GarbageEmptyOrLinkedLockFilesDoNotBlockAStart) {
    const std::string lock = dir / "run/pacs-vantora-driver.lock";
    for (const std::string& content : {std::string(), std::string("garbage\x01\xFF\n", 10), std::string("4194305\nold-host\n")}) {
        SCOPED_TRACE(testing::PrintToString(content));
        fs::remove(lock);
        WriteFile(lock, content);
        StartAndWaitUntilReady();
        EXPECT_TRUE(RanOnThenStopped());
    }
    fs::remove(lock);
    WriteFile(dir / "elsewhere", "kept");
    fs::create_symlink(dir / "elsewhere", lock);
    StartAndWaitUntilReady();
    EXPECT_TRUE(Alive());
    // The live instance's lock still ends a second start at once.
    EXPECT_EQ(test::Run({test::Bin("pacs-vantora-driver")}, dir.path().string()).status, 0);
    EXPECT_TRUE(RanOnThenStopped());
    EXPECT_EQ(ReadFile(dir / "elsewhere"), "kept");
}

TEST_F(Hostile, AFifoOrderPathFailsAtOnceAndTheProgramCarriesOn) {
    ASSERT_EQ(mkfifo(order.c_str(), 0600), 0);
    ExpectRefusedAtOnce(order);

    // The running program starts on it, and launches the real order when it comes.
    StartAndWaitUntilReady();
    EXPECT_GE(WaitForLog(LogFile(), "is not a regular file"), 0) << ReadFile(LogFile());
    WriteFile(drafts + "/.next", Order("3", "C"));
    fs::rename(drafts + "/.next", order);
    const auto starts = test::WaitForLines(recLog, 1);
    ASSERT_EQ(starts.size(), 1u) << ReadFile(LogFile());
    EXPECT_EQ(json::parse(starts[0])["path"], drafts + "/3_C.iaf");
    EXPECT_EQ(Stop(SIGTERM), 0);
}

#else
// Wine makes no links (CreateSymbolicLink succeeds and makes nothing), and a
// user's temporary folder is the user's own: what can be planted there is a
// folder under the log's name. The log cannot be written, as on a full disk;
// the program carries on and leaves the folder as it is.
TEST_F(Hostile, AFolderPlantedWhereTheLogGoesIsLeftAlone) {
    const std::string planted = LogFile();
    fs::create_directories(planted);
    WriteFile(planted + "\\kept", "kept");
    ASSERT_NO_FATAL_FAILURE(LaunchThenLaunchInTheRunningProgram());  // each asks the log to write
    EXPECT_EQ(Stop(SIGTERM), 0);
    std::vector<std::string> inside;
    for (const auto& e : fs::directory_iterator(planted)) inside.push_back(e.path().filename().string());
    EXPECT_EQ(inside, std::vector<std::string>{"kept"});
    EXPECT_EQ(ReadFile(planted + "\\kept"), "kept");
}

// The registry's forms of settings that cannot be read: values that are no
// text, and a settings key whose access rules deny the user reading it (Wine
// enforces the registry's access rules). Neither is ever written over.
TEST_F(Hostile, SettingsThatCannotBeReadAreLeftByteForByte) {
    const std::string key = "Software\\VB and VBA Program Settings\\Vantora Recorder\\Defaults";
    const std::string stamp("\x07\xE9\x0C\x08", 4), one("\x01\0\0\0", 4);
    ASSERT_TRUE(test::SetUserData(key, "VerboseLogDate", REG_BINARY, stamp));
    ASSERT_TRUE(test::SetUserData(key, "VerboseLog", REG_DWORD, one));
    ASSERT_NO_FATAL_FAILURE(LoadLaunchAndLaunchAgain());
    EXPECT_EQ(Stored(L"VerboseLogDate"), std::make_pair(DWORD(REG_BINARY), stamp));
    EXPECT_EQ(Stored(L"VerboseLog"), std::make_pair(DWORD(REG_DWORD), one));
    EXPECT_TRUE(Logs(" - Unable to save setting VerboseLogDate: Cannot store VerboseLogDate in HKEY_CURRENT_USER\\" + key +
                     ": it holds a value that is not text"))
        << ReadFile(LogFile());

    // The key readable by no one: the user may still write, change its rules and remove it.
    RemoveUserSettings();
    UserSetting("XMLDataPath", order);
    UserSetting("VerboseLog", "1");
    ASSERT_TRUE(SettingsKeyRules("D:P(A;;0x50006;;;WD)"));  // KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE | WRITE_DAC
    fs::remove(recLog);
    ASSERT_NO_FATAL_FAILURE(LoadLaunchAndLaunchAgain());
    ASSERT_TRUE(SettingsKeyRules("D:P(A;;KA;;;WD)"));
    EXPECT_EQ(Stored(L"VerboseLogDate"), std::make_pair(DWORD(0), std::string()));  // nothing written
    EXPECT_EQ(Stored(L"VerboseLog").second.size(), 4u);  // L"1" and its NUL, as stored
    EXPECT_TRUE(Logs(" - Unable to save setting VerboseLogDate: Cannot open HKEY_CURRENT_USER\\" + key + ": ")) << ReadFile(LogFile());
}

// The single instance is a named mutex: an instance that was killed leaves
// it abandoned, and another object under its name leaves none to be had.
// Neither blocks a start.
TEST_F(Hostile, AKilledInstanceOrASquatterOfItsNameDoesNotBlockAStart) {
    StartAndWaitUntilReady();
    ASSERT_TRUE(TerminateProcess(pid, 9));
    EXPECT_EQ(test::WaitExit(pid), 9);
    pid = test::kNoChild;
    StartAndWaitUntilReady();
    EXPECT_TRUE(Alive());
    // The live instance still ends a second start at once.
    EXPECT_EQ(test::Run({test::Bin("pacs-vantora-driver")}, dir.path().string()).status, 0);
    EXPECT_TRUE(RanOnThenStopped());

    win32::Handle squatter(CreateEventW(nullptr, TRUE, FALSE, L"Local\\pacs-vantora-driver"));
    ASSERT_NE(squatter.get(), nullptr);
    StartAndWaitUntilReady();
    EXPECT_TRUE(Alive());
    WriteFile(order, Order("5", "E"));
    ASSERT_EQ(test::WaitForLines(recLog, 1).size(), 1u);
    EXPECT_EQ(Stop(SIGTERM), 0);
    EXPECT_NE(ReadFile(dir / ".spawn.out").find("running without the single-instance lock"), std::string::npos)
        << ReadFile(dir / ".spawn.out");
}

// Windows' form of a FIFO: the order path names a pipe whose server never
// writes. It is no regular file: refused at once, never read.
TEST_F(Hostile, APipeOrderPathFailsAtOnceAndTheProgramCarriesOn) {
    const std::string pipe = "\\\\.\\pipe\\pvd-order-" + dir.path().filename().string();
    std::vector<win32::Handle> instances;  // one for each client that connects
    for (int i = 0; i < 8; ++i)
        instances.emplace_back(CreateNamedPipeW(win32::Wide(pipe).c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
                                                PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr));
    ASSERT_TRUE(instances.back().valid());
    ExpectRefusedAtOnce(pipe);

    // The running program follows it, says why, and runs on.
    UserSetting("XMLDataPath", pipe);
    StartAndWaitUntilReady();
    const double refused = WaitForLog(LogFile(), " - Unable to Load XML ");
    ASSERT_GE(refused, 0) << ReadFile(LogFile());
    EXPECT_LT(refused, 10.0);
    const std::string log = ReadFile(LogFile());
    EXPECT_NE(log.find(pipe, log.find(" - Unable to Load XML ")), std::string::npos) << log;
    EXPECT_TRUE(RanOnThenStopped());
}
#endif

TEST_F(Hostile, FloodedOrdersAreRefusedWithinTimeAndMemoryBounds) {
    WriteFile(dir / "good.xml", Order("1", "A"));
    WriteFile(dir / "attributes.xml", AttributeFlood(200'000));
    WritePathExplosion(dir / "paths.xml");
    const Measured idle = RunMeasured({test::Bin("pacs-vantora-driver"), "--load", dir / "good.xml"}, dir.path().string());
    ASSERT_EQ(idle.status, 0);
    ASSERT_TRUE(json::parse(idle.out)["result"].get<bool>());
    ASSERT_GT(idle.peakKb, 0);
    for (const char* name : {"attributes.xml", "paths.xml"}) {
        const Measured m = RunMeasured({test::Bin("pacs-vantora-driver"), "--load", dir / name}, dir.path().string());
        std::cout << "--load " << name << " (" << fs::file_size(dir / name) << " bytes): " << m.seconds << " s, peak "
                  << m.peakKb / 1024 << " MiB (idle " << idle.peakKb / 1024 << " MiB)\n";
        ASSERT_EQ(m.status, 0) << name;
        const json j = json::parse(m.out);
        EXPECT_FALSE(j["result"].get<bool>()) << name;
        EXPECT_TRUE(j["xml_elements"].empty()) << name;
        EXPECT_LT(m.seconds, 10.0) << name;
        EXPECT_LT(m.peakKb - idle.peakKb, 256 * 1024) << name;
    }
}

TEST_F(Hostile, TheRunningProgramRefusesAFloodAndLaunchesTheNextOrder) {
    WriteFile(order, Order("1", "A"));
    StartAndWaitUntilReady();
    const long idleKb = RunningKb("VmRSS");
    ASSERT_GT(idleKb, 0) << "no reading of the running program's memory";
    WriteFile(drafts + "/.flood", AttributeFlood(200'000));
    test::MoveInto(drafts + "/.flood", order);
    const double refused = WaitForLog(LogFile(), "Unable to Load XML An element holds more than 1000 attributes");
    std::cout << "200,000 attributes refused by the running program after " << refused << " s\n";
    ASSERT_GE(refused, 0) << ReadFile(LogFile());
    EXPECT_LT(refused, 10.0);

    WriteFile(drafts + "/.next", Order("2", "B"));
    test::MoveInto(drafts + "/.next", order);
    const auto starts = test::WaitForLines(recLog, 1);
    ASSERT_EQ(starts.size(), 1u) << ReadFile(LogFile());
    EXPECT_EQ(json::parse(starts[0])["path"], NativePath(drafts + "/2_B.iaf"));
    const long peakKb = RunningKb("VmHWM");
    std::cout << "memory: idle " << idleKb / 1024 << " MiB, peak " << peakKb / 1024 << " MiB\n";
    EXPECT_LT(peakKb - idleKb, 256 * 1024);
    EXPECT_TRUE(RanOnThenStopped());
}

}  // namespace
}  // namespace pvd
