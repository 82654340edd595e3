// The launch journal: events written and read back, its private folder, a
// hostile folder or link, rotation, the reader, and the digest it records.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "app/cli.h"
#include "app/journal.h"
#include "platform/private_file.h"
#include "test_support.h"

namespace pvd {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using test::ReadFile;
using test::WriteFile;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

#ifdef _WIN32
constexpr const char* kStateVariable = "LOCALAPPDATA";  // where the journal's folder lives
void ResetTimeZone() { _tzset(); }
#else
constexpr const char* kStateVariable = "XDG_STATE_HOME";
void ResetTimeZone() { tzset(); }

unsigned Mode(const fs::path& p) {
    struct stat st{};
    return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}
#endif

TEST(Sha256, StandardVectors) {
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::string million(1'000'000, 'a');
    EXPECT_EQ(Sha256Hex(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Fed in pieces that straddle the 64-byte blocks: the same digest.
    Sha256 sha;
    for (std::size_t at = 0, step = 1; at < million.size(); at += step, step = step % 97 + 1)
        sha.Update(std::string_view(million).substr(at, step));
    Sha256 whole;
    whole.Update(million);
    EXPECT_EQ(sha.Final(), whole.Final());
}

class JournalTest : public testing::Test {
protected:
    // Destroyed last, once the environment is back: the time zone as it was.
    struct TimeZoneReset {
        ~TimeZoneReset() { ResetTimeZone(); }
    } tzReset;
    test::TempDir dir;
    test::ScopedEnv env;
    MemoryLog log;
    // 2026-12-08 08:05:03.123 UTC
    FixedClock clock{std::chrono::system_clock::from_time_t(1796717103) + std::chrono::milliseconds(123)};

    void SetUp() override {
        env.set(kStateVariable, dir / "state").set("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
        ResetTimeZone();
    }

    fs::path Folder() const { return dir.path() / "state/Vantora/VNRecorder"; }
    std::string File() const { return (Folder() / "journal.jsonl").string(); }
    std::vector<Json> Events(const std::string& file) {
        std::vector<Json> events;
        for (const auto& line : Lines(ReadFile(file))) events.push_back(Json::parse(line));
        return events;
    }
    static constexpr const char* kDictation = "/d/Drafts/987_A678.iaf";
    static inline const OrderFields kOrder{"987", "A678", "CT HEAD", "Doe^Jane", "rad1"};
    // The last `count` events as the reader prints them; it must succeed without a word.
    std::vector<std::string> Printed(std::size_t count, bool json) {
        std::ostringstream out, err;
        EXPECT_EQ(PrintJournal(out, err, count, json, File()), 0);
        EXPECT_EQ(err.str(), "");
        return Lines(out.str());
    }
    // A launch of the order with the recorder /usr/bin/rec, started as pid 4242 or not.
    static JournalLaunch Launch(const std::string& outcome, bool started, const std::string& reason = "",
                                const std::string& recorderReason = "") {
        return {.order = kOrder, .dictationPath = kDictation, .outcome = outcome, .reason = reason, .recorder = "/usr/bin/rec",
                .recorderStarted = started, .recorderPid = started ? 4242 : 0, .recorderReason = recorderReason};
    }
    static JournalLaunch Created() { return Launch("created", true); }
    static JournalLoad Failed(const std::string& path, const std::string& reason) {
        return {.path = path, .identity = {}, .sha256 = "", .ok = false, .loader = "", .order = {}, .reason = reason};
    }
};

TEST_F(JournalTest, RotationKeepsFiveGenerationsAndTheReaderSpansThem) {
    constexpr std::uint64_t kBound = 1500;
    Journal journal(log, clock, File(), kBound);
    // An event bigger than the bound, into a new journal: kept whole, and no
    // empty generation pushes history out.
    journal.Launch(Launch("refused", false, std::string(2 * kBound, 'r')));
    EXPECT_EQ(Events(File()).size(), 1u);
    EXPECT_FALSE(fs::exists(Folder() / "journal.1.jsonl"));
    for (int i = 1; i < 60; ++i) journal.Launch(Created());
    EXPECT_TRUE(log.lines.empty());
    EXPECT_LE(fs::file_size(File()), kBound);
    const std::size_t inCurrent = Events(File()).size();
    std::size_t kept = inCurrent;
    for (int g = 1; g <= 5; ++g) {
        const fs::path gen = Folder() / ("journal." + std::to_string(g) + ".jsonl");
        ASSERT_TRUE(fs::exists(gen)) << gen;
        EXPECT_LE(fs::file_size(gen), kBound);
#ifndef _WIN32
        EXPECT_EQ(Mode(gen), 0600u);
#endif
        kept += Events(gen.string()).size();
    }
    EXPECT_FALSE(fs::exists(Folder() / "journal.6.jsonl"));

    // Everything kept reads back oldest first, without a gap, ending at the last event.
    const auto all = Printed(1000, true);
    ASSERT_EQ(all.size(), kept);
    ASSERT_LT(all.size(), 60u);  // the oldest were dropped
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(Json::parse(all[i])["seq"], 60 - all.size() + 1 + i);

    const auto last = Printed(inCurrent + 2, true);  // reaches into journal.1
    ASSERT_EQ(last.size(), inCurrent + 2);
    EXPECT_EQ(Json::parse(last.front())["seq"], 60 - inCurrent - 1);
    EXPECT_EQ(Json::parse(last.back())["seq"], 60);
    EXPECT_EQ(Printed(1, true), std::vector<std::string>{last.back()});
}


TEST_F(JournalTest, ReaderPrintsAlignedTextOrJsonAndSkipsWhatIsNotAnEvent) {
    Journal journal(log, clock);
    journal.Start();
    journal.Load(Failed("/d/order.xml", "not well-formed"));
    // Hand edits and a torn line between events.
    { std::ofstream(File(), std::ios::app) << "not json\n[1,2]\n{\"no\":\"event\"}\n\n{\"event\":\"lau"; }
    // C0, DEL and C1 controls (CSI among them) must not reach the terminal
    // as they are; a space and a no-break space are text.
    JournalLaunch odd = Launch("refused", false, "bad name");
    odd.dictationPath = "/d/Drafts/\x1b[31m\xC2\x9B" "31m\xC2\x80\xC2\x9F\x7F\x1F \xC2\xA0red.iaf";
    journal.Launch(odd);
    journal.Launch(Launch("created", false, "", "No such file or directory"));
    journal.Launch(Created());
    // An event of a kind this reader does not know (a later version's) is
    // shown with what every event has, and nothing made up.
    { std::ofstream(File(), std::ios::app) << R"({"time":"2026-12-08T09:05:03.123+01:00","pid":)" << ProcessId() << R"(,"seq":6,"event":"note","outcome":"x"})" << "\n"; }

    const auto lines = Printed(5, false);
    ASSERT_EQ(lines.size(), 5u);
    const std::string t = "2026-12-08T09:05:03.123+01:00  " + std::to_string(ProcessId()) + "  ";
    EXPECT_EQ(lines[0], t + "#2  load    failed   /d/order.xml  reason: not well-formed");
    EXPECT_EQ(lines[1], t + "#3  launch  refused  /d/Drafts/?[31m?31m???? \xC2\xA0red.iaf  reason: bad name  recorder /usr/bin/rec not started");
    EXPECT_EQ(lines[2], t + "#4  launch  created  /d/Drafts/987_A678.iaf  recorder /usr/bin/rec not started: No such file or directory");
    EXPECT_EQ(lines[3], t + "#5  launch  created  /d/Drafts/987_A678.iaf  recorder /usr/bin/rec (pid 4242)");
    EXPECT_EQ(lines[4], t + "#6  note");

    std::ostringstream json, out, none, err;
    EXPECT_EQ(*RunCommandLine({"--journal", "2", "--json"}, json, err), 0);
    const auto jl = Lines(json.str());
    ASSERT_EQ(jl.size(), 2u);
    EXPECT_EQ(Json::parse(jl[0])["recorder"]["pid"], 4242);
    EXPECT_EQ(Json::parse(jl[1])["seq"], 6);
    EXPECT_EQ(*RunCommandLine({"--journal"}, out, err), 0);
    EXPECT_EQ(Lines(out.str()).size(), 6u);  // the default 20 holds all six events
    EXPECT_EQ(Lines(out.str())[0].find("#1  start            version "), t.size());

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--journal", "0"}, {"--journal", "-3"}, {"--journal", "2x"}, {"--journal", "--json", "--json"},
             {"--journal", "1", "2"}, {"--journal", "99999999999999999999999"}}) {
        std::ostringstream o, e;
        EXPECT_EQ(*RunCommandLine(bad, o, e), 2) << bad.back();
        EXPECT_EQ(o.str(), "");
    }
    env.set(kStateVariable, dir / "empty");  // no journal yet: nothing, and success
    EXPECT_EQ(*RunCommandLine({"--journal", "--json"}, none, err), 0);
    EXPECT_EQ(none.str(), "");
    EXPECT_FALSE(fs::exists(dir.path() / "empty"));  // reading creates nothing
}


#ifndef _WIN32  // from here POSIX only: the XDG variables, the umask, permission bits, other users, links, fork
TEST_F(JournalTest, FileNameFollowsXdgStateHome) {
    EXPECT_EQ(JournalFileName(), File());
    env.set("XDG_STATE_HOME", "relative/state").set("HOME", "/home/ann");  // only an absolute one counts
    EXPECT_EQ(JournalFileName(), "/home/ann/.local/state/Vantora/VNRecorder/journal.jsonl");
    env.set("XDG_STATE_HOME", std::nullopt).set("HOME", std::nullopt);
    EXPECT_EQ(JournalFileName(), "");
    Journal none(log, clock, JournalFileName());
    none.Start();
    none.Exit();
    EXPECT_EQ(log.lines, std::vector<std::string>{"Unable to write the journal (none): neither XDG_STATE_HOME nor HOME is set"});
    // No journal anywhere: nothing to show, no fault, and the folder the
    // command is run in is left as it is.
    const fs::path here = fs::current_path(), cwd = dir.path() / "cwd";
    fs::create_directory(cwd);
    fs::permissions(cwd, fs::perms(0755));
    fs::current_path(cwd);
    std::ostringstream out, err;
    EXPECT_EQ(PrintJournal(out, err, 5, false, JournalFileName()), 0);
    fs::current_path(here);
    EXPECT_EQ(out.str() + err.str(), "");
    EXPECT_EQ(Mode(cwd.string()), 0755u);
}

TEST_F(JournalTest, EventsAreWrittenInOrderPrivatelyAndSurviveRemoval) {
    umask(0);  // the modes must not depend on the caller's umask
    Journal journal(log, clock);
    journal.Start();
    // A share's whole-second time, then a clock set before 1970.
    JournalLoad loaded{.path = "/d/Drafts/ridavaruz.xml", .identity = {true, true, 2049, 77, 512, 1796717103'000000000, 0},
                       .sha256 = Sha256Hex("<DictationData/>"), .ok = true, .loader = "legacy", .order = kOrder, .reason = ""};
    journal.Load(loaded);
    loaded.identity.mtimeNs = -999'999'993;
    journal.Load(loaded);
    journal.Load(Failed("/d/Drafts/ridavaruz.xml", "Unable to Load XML: line 1"));
    journal.Launch(Created());
    journal.Launch(Launch("refused", false, "MRN holds a path separator"));
    JournalLaunch noRecorder = Launch("reused", false);
    noRecorder.recorder.clear();
    journal.Launch(noRecorder);
    journal.Exit();
    umask(022);
    EXPECT_TRUE(log.lines.empty());

    EXPECT_EQ(Mode(File()), 0600u);
    for (const char* level : {"state", "state/Vantora", "state/Vantora/VNRecorder"})
        EXPECT_EQ(Mode(dir.path() / level), 0700u) << level;

    auto e = Events(File());
    ASSERT_EQ(e.size(), 8u);
    const std::vector<std::string> kinds{"start", "load", "load", "load", "launch", "launch", "launch", "exit"};
    for (std::size_t i = 0; i < e.size(); ++i) {
        EXPECT_EQ(e[i]["event"], kinds[i]);
        EXPECT_EQ(e[i]["seq"], i + 1);
        EXPECT_EQ(e[i]["pid"], getpid());
        EXPECT_EQ(e[i]["time"], "2026-12-08T09:05:03.123+01:00");
        for (const char* common : {"event", "seq", "pid", "time"}) e[i].erase(common);
    }
    EXPECT_FALSE(e[0]["user"].get<std::string>().empty());
    EXPECT_FALSE(e[0]["host"].get<std::string>().empty());
    // Each event holds exactly its facts.
    const Json order{{"mrn", "987"}, {"accession", "A678"}, {"study", "CT HEAD"}, {"patient", "Doe^Jane"}, {"user_id", "rad1"}};
    for (const auto& [i, mtime] : {std::pair{1, "2026-12-08T09:05:03.000000000+01:00"}, {2, "1970-01-01T00:59:59.000000007+01:00"}})
        EXPECT_EQ(e[i], (Json{{"path", "/d/Drafts/ridavaruz.xml"},
                              {"file", {{"size", 512}, {"mtime", mtime}, {"device", 2049}, {"file_id", 77}}},
                              {"sha256", Sha256Hex("<DictationData/>")}, {"result", true}, {"loader", "legacy"}, {"order", order}}));
    EXPECT_EQ(e[3], (Json{{"path", "/d/Drafts/ridavaruz.xml"}, {"result", false}, {"reason", "Unable to Load XML: line 1"}}));
    EXPECT_EQ(e[4], (Json{{"order", order}, {"dictation", kDictation}, {"outcome", "created"},
                          {"recorder", {{"path", "/usr/bin/rec"}, {"started", true}, {"pid", 4242}}}}));
    EXPECT_EQ(e[5], (Json{{"order", order}, {"dictation", kDictation}, {"outcome", "refused"}, {"reason", "MRN holds a path separator"},
                          {"recorder", {{"path", "/usr/bin/rec"}, {"started", false}}}}));
    EXPECT_EQ(e[6], (Json{{"order", order}, {"dictation", kDictation}, {"outcome", "reused"}, {"recorder", nullptr}}));

    // Removed by the user: made again. Replaced by a readable file ending in
    // a torn line: made private, and the next event still on a line of its own.
    fs::remove_all(dir.path() / "state");
    journal.Start();
    EXPECT_EQ(Events(File()).at(0)["seq"], 9);
    WriteFile(File(), "{\"event\":\"lo");
    fs::permissions(File(), fs::perms(0644));
    journal.Exit();
    EXPECT_EQ(Mode(File()), 0600u);
    EXPECT_EQ(Json::parse(Lines(ReadFile(File())).at(1))["seq"], 10);
    EXPECT_TRUE(log.lines.empty());

    // A read that succeeds but leaves errno at EINTR loses nothing.
    env.set("PVD_READ_LEAVES_EINTR", "1");
    const std::vector<std::string> read = Printed(5, true);
    env.set("PVD_READ_LEAVES_EINTR", std::nullopt);
    ASSERT_EQ(read.size(), 1u);  // the torn line before it is no event
    EXPECT_EQ(Json::parse(read[0])["seq"], 10);

    // Grown past what the reader takes (by hand, or by a fault): refused, not read.
    fs::resize_file(File(), 65u << 20);
    std::ostringstream out, err;
    EXPECT_EQ(PrintJournal(out, err, 5, false, File()), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "pacs-vantora-driver: unable to read the journal " + File() + ": journal.jsonl is larger than 67108864 bytes\n");
}


// Other users, links and permission bits as POSIX has them.
// Another local user may create the folder first or put a link where the
// journal belongs: nothing is ever written through them, and the activity
// log says so once, however many events follow.
TEST_F(JournalTest, HostileFolderOrLinkIsRefusedAndLoggedOnce) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
    const std::string victim = dir / "victim.txt";
    struct Case {
        const char* name;
        fs::path made;  // the levels that exist before the journal writes
        std::function<void()> then;
        std::string why;
    };
    const fs::path vantora = dir.path() / "state/Vantora", elsewhere = dir.path() / "elsewhere";
    const std::string folder = Folder();
    const auto giveAway = [](const fs::path& p) { ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0); };
    const std::vector<Case> cases{
        {"journal is a link", Folder(), [&] { fs::create_symlink(victim, File()); }, "journal.jsonl is a link"},
        {"folder of another user", Folder(), [&] { giveAway(Folder()); }, folder + " belongs to another user"},
        {"level above of another user", vantora, [&] { giveAway(vantora); }, vantora.string() + " belongs to another user"},
        {"level two above of another user", vantora, [&] { giveAway(vantora.parent_path()); },
         vantora.parent_path().string() + " belongs to another user"},
        {"folder is a link", elsewhere, [&] { fs::create_directory_symlink(elsewhere, Folder()); }, folder + " is a link"},
        // Another user wins the race between the check of the folder and its open.
        {"folder made a link once checked", Folder(), [&] {
             fs::create_directory(elsewhere);
             fs::permissions(elsewhere, fs::perms(0700));
             setenv("PVD_SWAP_AT_OPEN", ("VNRecorder=" + elsewhere.string()).c_str(), 1);
         },
         folder + " is a link"},
        {"folder writable by the group", Folder(), [&] { fs::permissions(Folder(), fs::perms(0770)); },
         folder + " can be written by other users"},
        {"folder writable by everyone", Folder(), [&] { fs::permissions(Folder(), fs::perms(0707)); },
         folder + " can be written by other users"},
        {"a file where the folder goes", vantora, [&] { WriteFile(Folder(), "x"); }, folder + ": " + std::strerror(ENOTDIR)},
        {"level above everyone may write", Folder(), [&] { fs::permissions(vantora, fs::perms(0777)); },
         vantora.string() + " can be written by other users"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir.path() / "state");
        fs::remove_all(elsewhere);
        WriteFile(victim, "victim's data\n");
        fs::create_directories(vantora);
        fs::create_directories(c.made);
        fs::permissions(c.made, fs::perms(0700));
        c.then();
        MemoryLog caseLog;
        Journal journal(caseLog, clock);
        journal.Start();
        journal.Launch(Created());
        journal.Exit();
        unsetenv("PVD_SWAP_AT_OPEN");
        EXPECT_EQ(ReadFile(victim), "victim's data\n");
        EXPECT_FALSE(fs::exists(elsewhere / "journal.jsonl"));
        EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(File())));
        EXPECT_EQ(caseLog.lines, std::vector<std::string>{"Unable to write the journal " + File() + ": " + c.why});
        // The reader does not trust such a place either.
        std::ostringstream out, err;
        EXPECT_EQ(PrintJournal(out, err, 10, false, File()), 1);
        EXPECT_EQ(out.str(), "");
        EXPECT_NE(err.str().find("unable to read the journal"), std::string::npos) << err.str();
    }
    // A level above that everyone may write in, but where only owners may
    // rename or remove (sticky, as /tmp is): trusted.
    fs::remove_all(dir.path() / "state");
    fs::create_directories(vantora);
    fs::permissions(vantora, fs::perms(01777));
    MemoryLog quiet;
    Journal(quiet, clock).Start();
    EXPECT_TRUE(quiet.lines.empty());
    EXPECT_TRUE(fs::is_regular_file(File()));
}


// The writers are forked.
TEST_F(JournalTest, ConcurrentWritersLoseNothingAcrossRotations) {
    constexpr std::uint64_t kBound = 12000;
    constexpr int kEach = 150;
    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            NullLog quiet;
            Journal journal(quiet, clock, File(), kBound);
            for (int i = 0; i < kEach; ++i) journal.Start();
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_TRUE(fs::exists(Folder() / "journal.2.jsonl"));  // it did rotate, more than once
    ASSERT_FALSE(fs::exists(Folder() / "journal.5.jsonl"));  // and nothing had to be dropped
    std::map<long, std::vector<int>> seqs;
    for (const auto& line : Printed(10'000, true)) {
        const Json e = Json::parse(line);
        seqs[e["pid"].get<long>()].push_back(e["seq"].get<int>());
    }
    ASSERT_EQ(seqs.size(), 2u);
    for (auto& [pid, s] : seqs) {
        std::sort(s.begin(), s.end());
        ASSERT_EQ(s.size(), static_cast<std::size_t>(kEach)) << pid;
        EXPECT_EQ(s.front(), 1);
        EXPECT_EQ(s.back(), kEach);
        EXPECT_EQ(std::adjacent_find(s.begin(), s.end()), s.end());
    }
}

#endif

}  // namespace
}  // namespace pvd
