// The launch, end to end: order file, dictation file in the drafts folder,
// and the demo recorder started on it, in a scratch home.
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "app/Form1.h"
#include "app/system_services.h"
#include "dictation/StartVNR.h"
#include "fake_view.h"
#include "format/FileControl.h"
#include "platform/process.h"
#include "vnfformat.h"
#include "settings/systemRegKeys.h"
#include "program_fixture.h"

namespace pvd {
namespace {

using nlohmann::json;
using test::NativePath;
using test::ReadFile;
using test::WriteFile;

// Where the journal goes: the variable that names the user's state folder.
#ifdef _WIN32
constexpr const char* kStateFolderVariable = "LOCALAPPDATA";
#else
constexpr const char* kStateFolderVariable = "XDG_STATE_HOME";
#endif


// The launch in this process, against the real services and the demo recorder.
class Launch : public test::Program {
protected:
    std::unique_ptr<SystemServices> services;
    test::FakeView view;
    std::vector<std::string>& shown = view.messages;
    std::unique_ptr<Form1> form;

    void SetUp() override {
        Program::SetUp();
        env.set(kStateFolderVariable, dir / "state");
        SetSettingsAppName(kApplicationName);
        ASSERT_TRUE(InitFileControl());
        services = std::make_unique<SystemServices>();
        form = std::make_unique<Form1>(*services, view);
    }
    // The machine values: the dictation root, and the recorder unless empty.
    void Configure(const std::string& recorder) { Program::Configure(dir / "dictation", recorder); }
    std::string Draft(const std::string& name) const { return drafts + kPathSeparator + name; }
    void SetOrder(std::string mrn, std::string acc) {
        form->order().fields = {std::move(mrn), std::move(acc), "CT", "Doe^Jane", "u"};
        form->order().xml_elements = {{"XML_Modality", "CT"}};
    }
};

TEST_F(Launch, CreatesThenReusesAndStartsTheRecorderEachTime) {
    SetOrder("987", "A678");
    const std::string path = Draft("987_A678.iaf");
    LaunchOutcome first = form->Launch();
    EXPECT_EQ(first.result, LaunchResult::Created);
    EXPECT_EQ(first.path, path);
    auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["argc"], 1);
    EXPECT_EQ(starts[0]["argument"], "open" + path);
    ASSERT_EQ(starts[0]["fields"].size(), 7u);
    EXPECT_EQ(starts[0]["fields"][2]["value"], "987");
    EXPECT_EQ(starts[0]["fields"][6]["name"], "XML_Modality");

    const std::string bytes = ReadFile(path);
    form->order().fields.txtStudy = "CT corrected";
    EXPECT_EQ(form->Launch().result, LaunchResult::Reused);
    EXPECT_EQ(ReadFile(path), bytes);  // not a byte changes
    EXPECT_EQ(Starts(2).size(), 2u);
    EXPECT_TRUE(shown.empty());
    // Renamed by the PACS since: a person must look. Nothing is written or started.
    form->order().fields.txtPatient = "Changed^Name";
    EXPECT_EQ(form->Launch().result, LaunchResult::Refused);
    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_EQ(shown, std::vector<std::string>{"Unable to create " + path + "\npatient \"Doe^Jane\", MRN \"987\", accession \"A678\""});
    SetOrder("987", "A678");
    EXPECT_EQ(form->Launch().result, LaunchResult::Reused);
    EXPECT_EQ(Starts(3).size(), 3u);  // the refused launch started nothing
}

TEST_F(Launch, PathSeparatorsInTheOrderAreRefusedEverywhere) {
    for (auto [mrn, acc] : {std::pair{"../../escape", "A1"}, std::pair{"987", "x/y"}, std::pair{"9\\8", "A1"}}) {
        SetOrder(mrn, acc);
        LaunchOutcome out = form->Launch();
        EXPECT_EQ(out.result, LaunchResult::Refused);
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back(), "Unable to create " + Draft(std::string(mrn) + "_" + acc + ".iaf"));
    }
    EXPECT_TRUE(std::filesystem::is_empty(drafts));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "escape_A1.iaf"));
    EXPECT_FALSE(std::filesystem::exists(recLog));
    // An empty identity is no separator: its file is "_.iaf".
    SetOrder("", "");
    EXPECT_EQ(form->Launch().result, LaunchResult::Created);
    EXPECT_TRUE(std::filesystem::exists(Draft("_.iaf")));
}

TEST_F(Launch, RecorderStartIsDetachedAndKeepsSpacesInOneArgument) {
    const std::string spaced = dir / "with space/Drafts";
    std::filesystem::create_directories(spaced);
    WriteFile(spaced + "/a b.iaf", "");
#ifndef _WIN32
    // Started from a thread that blocks and ignores signals (the program
    // ignores SIGIO for its leases), the recorder has none of that, and a
    // session of its own: a Ctrl-C to the program, or its end, leaves it.
    sigset_t term, before;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &before);
    const auto io = signal(SIGIO, SIG_IGN), pipe = signal(SIGPIPE, SIG_IGN);
#endif
    const bool started = StartVNR(spaced + "/a b.iaf").started;
#ifndef _WIN32
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    signal(SIGIO, io);
    signal(SIGPIPE, pipe);
#endif
    ASSERT_TRUE(started);
    auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["argument"], "open" + spaced + "/a b.iaf");
#ifndef _WIN32
    EXPECT_TRUE(starts[0]["own_session"].get<bool>());
    EXPECT_TRUE(starts[0]["std_streams_open"].get<bool>());  // its errors can still be seen
    EXPECT_EQ(starts[0]["signals_blocked_or_ignored"], json::array());
    // Windows hands the program one raw command line, which its C runtime
    // splits at the space: only the text as a whole is the same there.
    EXPECT_EQ(starts[0]["argc"], 1);
    // Once it has ended it is collected: no child of ours left, not even a zombie.
    siginfo_t info{};
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        ReapEndedProcesses();
        gone = waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
#endif  // Windows leaves no zombies: an ended process goes with its last handle.
}

TEST_F(Launch, ARecorderThatCannotStartIsReportedForEveryKindOfBadPath) {
    WriteFile(dir / "text", "just text");
    std::filesystem::permissions(dir / "text", std::filesystem::perms::owner_all);  // executable, but no program
    WriteFile(dir / "plain", "#!/bin/sh\n");  // not executable
    const std::string bin = test::Bin("demo-recorder");
    SetOrder("987", "A678");
    for (const std::string& bad : {dir / "missing", dir.path().string(), dir / "text", dir / "plain", std::string("demo-recorder"),
                                   bin + " --verbose"}) {
        Configure(bad);
        LaunchOutcome out = form->Launch();
        EXPECT_NE(out.result, LaunchResult::Failed) << bad;
        EXPECT_FALSE(out.recorder.started) << bad;
        ASSERT_FALSE(shown.empty()) << bad;
        EXPECT_EQ(shown.back(), "Unable to start the recorder " + bad);
    }
    EXPECT_EQ(shown.size(), 6u);
    // None configured: the file is made, nothing starts, nothing is shown.
    Configure("");
    std::filesystem::remove(Draft("987_A678.iaf"));
    const LaunchOutcome none = form->Launch();
    EXPECT_EQ(none.result, LaunchResult::Created);
    EXPECT_TRUE(std::filesystem::exists(Draft("987_A678.iaf")));
    EXPECT_TRUE(none.recorder.recorder.empty());
    EXPECT_FALSE(none.recorder.started);
    EXPECT_EQ(shown.size(), 6u);
    EXPECT_FALSE(std::filesystem::exists(recLog));
}

// The --launch command, a process of its own.
class LaunchCommand : public Launch {
protected:
    const std::string sample = test::SourceDir() + "/samples/order.xml";
    test::RunResult LaunchOrder(const std::string& file, const std::string& program = test::Bin("pacs-vantora-driver")) {
        return test::Run({program, "--launch", file}, dir.path().string());
    }
};

TEST_F(LaunchCommand, ExitStatusesAndOutput) {
    auto r = LaunchOrder(sample);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, Draft("987_A678.iaf") + "\n");
    auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["fields"][0]["name"], "D_Created");

    WriteFile(dir / "torn.xml", "<DictationData><New><PatientID>12");
    EXPECT_EQ(LaunchOrder(dir / "torn.xml").status, 3);

    WriteFile(dir / "evil.xml", "<DictationData><New><PatientID>../x</PatientID><AccessionNumber>1</AccessionNumber></New></DictationData>");
    r = LaunchOrder(dir / "evil.xml");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to create " + Draft("../x_1.iaf") + "\n");

    EXPECT_EQ(test::Run({test::Bin("pacs-vantora-driver"), "--launch"}, dir.path().string()).status, 2);  // no order named

    // A name longer than the file system allows is a failure, not a refusal.
    const std::string longId(300, 'x');
    WriteFile(dir / "long.xml", "<DictationData><New><PatientID>" + longId + "</PatientID></New></DictationData>");
    r = LaunchOrder(dir / "long.xml");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("Unable to create " + Draft(longId + "_T"))) << r.err;
    const auto failed = Journal(1).back();
    EXPECT_EQ(failed["outcome"], "failed");
#ifndef _WIN32  // Windows looks at such a name without complaint: its creation fails later
    EXPECT_EQ(failed["reason"], "the drafts folder cannot be looked at, or the name is too long");
#endif

    // The file is ready, the recorder cannot start: status 4, the path all the same.
    Configure(dir / "no-recorder");
    r = LaunchOrder(sample);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, Draft("987_A678.iaf") + "\n");
    EXPECT_EQ(r.err, "Unable to start the recorder " + (dir / "no-recorder") + "\n");
}

TEST_F(LaunchCommand, TwoOrdersWithoutAccessionNeverShareAFile) {
    std::vector<std::string> paths;
    for (const char* id : {"111", "222", "111"}) {
        WriteFile(dir / "order.xml", std::string("<Order><Patient><Id>") + id + "</Id></Patient></Order>");
        auto r = LaunchOrder(dir / "order.xml");
        ASSERT_EQ(r.status, 0) << r.err;
        paths.push_back(r.out.substr(0, r.out.size() - 1));
    }
    EXPECT_NE(paths[0], paths[1]);
    auto starts = Starts(3);
    ASSERT_EQ(starts.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(starts[i]["fields"].back()["value"], i == 1 ? "222" : "111") << paths[i];
        EXPECT_EQ(starts[i]["argument"], "open" + paths[i]);
    }
}

TEST_F(LaunchCommand, ConcurrentLaunchesOfOneOrderShareOneCompleteFile) {
    for (int round = 0; round < 5; ++round) {
        for (const auto& e : std::filesystem::directory_iterator(drafts)) std::filesystem::remove(e.path());
        std::vector<test::ChildId> pids;
        for (int i = 0; i < 4; ++i)
            pids.push_back(test::SpawnTo({test::Bin("pacs-vantora-driver"), "--launch", sample}, dir / ".out", dir / ".err"));
        for (test::ChildId p : pids) EXPECT_EQ(test::WaitExit(p, 30000), 0) << ReadFile(dir / ".err");
        ASSERT_EQ(std::distance(std::filesystem::directory_iterator(drafts), {}), 1);
        int32_t h = VNFOpenFileRead(Draft("987_A678.iaf").c_str());
        ASSERT_NE(h, 0);
        EXPECT_GT(VNFGetFieldCount(h), 6);
        CloseVNFFile(h);
    }
}

#ifndef _WIN32
// The kill point is a POSIX build of the format library that sends itself
// SIGKILL; Windows has neither the signal nor that build.
TEST_F(LaunchCommand, AKillBetweenTheTwoSavesLeavesNothingUnderTheName) {
    // The program beside a test build of the format library that kills its
    // process right after the first save of a file.
    const auto root = dir.path() / "killpoint";
    std::filesystem::create_directories(root / "bin");
    std::filesystem::create_directories(root / "lib");
    std::filesystem::copy_file(test::Bin("pacs-vantora-driver"), root / "bin/pacs-vantora-driver");
    std::filesystem::copy_file(test::BuildDir() / "killpoint/libvnfformat.so", root / "lib/libvnfformat.so");
    std::filesystem::copy_file(test::BuildDir() / "lib/libfilecontroller.so", root / "lib/libfilecontroller.so");
    auto r = LaunchOrder(sample, (root / "bin/pacs-vantora-driver").string());
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_TRUE(std::filesystem::is_empty(drafts));  // no stub, no temporary
    EXPECT_FALSE(std::filesystem::exists(recLog));

    r = LaunchOrder(sample);
    EXPECT_EQ(r.status, 0) << r.err;
    auto starts = Starts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["fields"][2]["name"], "F_Subject");
}
#endif

TEST_F(LaunchCommand, WithoutItsLibrariesCreationFailsCleanlyAndTheProgramRunsOn) {
    // A copy of the program with no libraries beside it or in ../lib.
    const auto lone = dir.path() / "lone" / "bin";
    std::filesystem::create_directories(lone);
    const auto program = lone / std::filesystem::path(test::Bin("pacs-vantora-driver")).filename();
    std::filesystem::copy_file(test::Bin("pacs-vantora-driver"), program);
    auto r = LaunchOrder(sample, program.string());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "Unable to create " + Draft("987_A678.iaf") + "\n");
    EXPECT_TRUE(std::filesystem::is_empty(drafts));
    // The running program without them carries on: the load is logged, the
    // creation fails (its message is shown), nothing is started.
    pid = test::Spawn({program.string()}, dir.path().string());
    ASSERT_NE(pid, test::kNoChild);
    ASSERT_GE(test::WaitForLines(LogFile(), 3).size(), 3u);
    WriteFile(order, Order("3", "C"));
    EXPECT_TRUE(test::WaitUntil([&] { return test::WaitForLines(LogFile(), 0, 0).size() >= 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(Draft("3_C.iaf")));
    EXPECT_FALSE(std::filesystem::exists(recLog));
    EXPECT_TRUE(RanOnThenStopped());
    std::filesystem::remove(order);

    // With the format library but without the file controller there are no
    // recording parameters: a 0 Hz file no tool could play is never made.
#ifdef _WIN32
    // Windows loads them from the program's own folder only.
    std::filesystem::copy_file(test::BuildDir() / "bin/vnfformat.dll", lone / "vnfformat.dll");
#else
    std::filesystem::create_directories(lone.parent_path() / "lib");
    std::filesystem::copy_file(test::BuildDir() / "lib/libvnfformat.so", lone.parent_path() / "lib/libvnfformat.so");
#endif
    r = LaunchOrder(sample, program.string());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(drafts));
}

TEST_F(LaunchCommand, TheJournalTellsWhatEachLaunchDidAndNeverStopsOne) {
    EXPECT_EQ(LaunchOrder(sample).status, 0);  // created
    EXPECT_EQ(LaunchOrder(sample).status, 0);  // reused
    WriteFile(dir / "evil.xml", "<DictationData><New><PatientID>a:b</PatientID></New></DictationData>");
    EXPECT_EQ(LaunchOrder(dir / "evil.xml").status, 1);  // refused
    Configure(dir / "missing-recorder");
    EXPECT_EQ(LaunchOrder(sample).status, 4);

    const auto events = Journal(10);
    std::vector<json> launches;
    std::copy_if(events.begin(), events.end(), std::back_inserter(launches), [](const json& e) { return e["event"] == "launch"; });
    EXPECT_EQ(events.size(), 8u);  // a load and a launch for each
    ASSERT_EQ(launches.size(), 4u);
    const char* outcomes[] = {"created", "reused", "refused", "reused"};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(launches[i]["outcome"], outcomes[i]) << i;
    EXPECT_TRUE(launches[0]["recorder"]["started"].get<bool>());
    EXPECT_FALSE(launches[3]["recorder"]["started"].get<bool>());
    EXPECT_EQ(launches[3]["recorder"]["path"], dir / "missing-recorder");
#ifndef _WIN32  // no POSIX file modes on Windows
    const auto journal = dir.path() / "state/Vantora/VNRecorder/journal.jsonl";
    EXPECT_EQ(std::filesystem::status(journal).permissions() & std::filesystem::perms::all, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif

    // A journal that cannot be written: the launch happens all the same.
    Configure(test::Bin("demo-recorder"));
    WriteFile(dir / "not-a-folder", "");
    env.set(kStateFolderVariable, dir / "not-a-folder");
    std::filesystem::remove(Draft("987_A678.iaf"));
    EXPECT_EQ(LaunchOrder(sample).status, 0);
    EXPECT_TRUE(std::filesystem::exists(Draft("987_A678.iaf")));
    const std::string log = ReadFile(dir / "temp/Vantora/VNRecorder/pacs-vantora-driver.log");
    EXPECT_NE(log.find("Unable to write the journal"), std::string::npos) << log;
}

}  // namespace
}  // namespace pvd
