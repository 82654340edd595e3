// Form1's rules with fake services and a fake view: start-up, the watch tick,
// the file dialog, the launch, and the window's lifetime.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>

#include "app/Form1.h"
#include "fake_services.h"
#include "fake_view.h"

namespace pvd {
namespace {

using test::DraftsPath;

using test::FakeServices;
using test::FakeView;

class Form1Test : public testing::Test {
protected:
    FakeServices services;
    FakeView view;
    Form1 form{services, view};
    const std::string xml = DraftsPath("ridavaruz.xml");
    const std::string file = DraftsPath("987_A678.iaf");
    // Time passes a millisecond at a time: the poll ticks every second, and
    // the recheck Form1 asked for last runs when it is due.
    void Pass(std::int64_t ms) {
        for (std::int64_t i = 0; i < ms; ++i) {
            TakeRecheck();
            services.Advance(1);
            if (++sinceTick_ == 1000) {
                sinceTick_ = 0;
                form.Timer1_Timer();
                TakeRecheck();
            }
            if (dueAt_ >= 0 && services.now >= dueAt_) {
                dueAt_ = -1;
                form.RecheckOrderFile();
            }
        }
        TakeRecheck();
    }
    int Calls(const std::string& prefix) const {
        return static_cast<int>(std::count_if(services.calls.begin(), services.calls.end(),
                                              [&](const std::string& c) { return c.starts_with(prefix); }));
    }
    int Logged(const std::string& prefix) const { return Calls("log:" + prefix); }
    int Started() const { return services.Count("start:" + file); }
    // The versions the loaders were given, in order.
    const std::vector<std::string>& Loaded() const { return services.legacySaw; }

private:
    void TakeRecheck() {
        if (view.rechecks.size() == seenRechecks_) return;
        seenRechecks_ = view.rechecks.size();
        dueAt_ = services.now + view.rechecks.back();
    }
    std::int64_t sinceTick_ = 0, dueAt_ = -1;
    std::size_t seenRechecks_ = 0;
};

TEST_F(Form1Test, StartUpRunsItsStepsInOrderAndEndsInTheTray) {
    services.Write(xml, "first");
    ASSERT_TRUE(form.Form_Load());
    EXPECT_EQ(view.caption, "PACS Vantora Driver");
    // The order file is read before the slower steps; the profile is logged
    // after the start of the log, which empties it; the drafts folder is
    // swept only after the first look at the order.
    const std::vector<std::string> order = {"instance", "filecontrol", "filesystem", "ensure-temp", "appname:Vantora Recorder",
                                            "profile:recorder", "read:" + xml, "startlog", "log:Change profile to recorder",
                                            "journal:start", "legacy:" + xml, "log:Load XML " + xml, "clean"};
    for (std::size_t i = 1; i < order.size(); ++i) EXPECT_LT(services.Index(order[i - 1]), services.Index(order[i])) << order[i];
    EXPECT_FALSE(services.Called("generic:" + xml));  // the fixed layout loaded
    EXPECT_EQ(form.XMLFileDate(), services.disk[xml].id.mtimeNs);
    EXPECT_TRUE(form.launchEnabled());
    EXPECT_TRUE(view.cmdLaunch && view.mnuLaunch);
    EXPECT_EQ(view.fields, services.legacyFields);
    EXPECT_EQ(view.xmlFileText, xml);
    EXPECT_FALSE(view.visible);
    EXPECT_FALSE(view.minimized);
    EXPECT_EQ(view.trayIcons, 1);

    // The timer starts only once the date of the file just loaded is known.
    auto pos = [&](const std::string& e) { return std::find(view.events.begin(), view.events.end(), e) - view.events.begin(); };
    EXPECT_LT(pos("launch-off"), pos("launch-on"));
    EXPECT_LT(pos("launch-on"), pos("timer"));
    EXPECT_LT(pos("timer"), pos("tray-add"));
    EXPECT_LT(pos("tray-add"), pos("hide"));

    Pass(5000);  // unchanged: start-up never launches, and nothing is loaded again
    EXPECT_EQ(Loaded(), std::vector<std::string>{"first"});
    EXPECT_EQ(Calls("start:") + Calls("create:"), 0);
}

TEST_F(Form1Test, AnOrderWrittenDuringStartUpIsLaunched) {
    services.Write(xml, "present at start");
    // The PACS writes while start-up is busy with its slower steps.
    services.onCall = [&](const std::string& c) {
        if (c == "startlog" || c == "clean") services.Write(xml, "written during " + c);
    };
    form.Form_Load();
    services.onCall = nullptr;
    EXPECT_EQ(Loaded(), std::vector<std::string>{"present at start"});
    EXPECT_EQ(Started(), 0);
    Pass(3500);
    EXPECT_EQ(Loaded(), (std::vector<std::string>{"present at start", "written during clean"}));
    EXPECT_EQ(Started(), 1);
}

TEST_F(Form1Test, OnlyWhenTheFixedLayoutFailsIsTheGenericLoaderTriedOnTheSameReading) {
    services.legacyOk = false;
    services.Write(xml, "a");
    ASSERT_TRUE(form.Form_Load());
    EXPECT_TRUE(form.launchEnabled());
    services.Write(xml, "b");
    form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
    EXPECT_EQ(services.reads, 2);  // one reading of each version, for both loaders
    EXPECT_EQ(services.legacySaw, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(services.genericSaw, services.legacySaw);

    FakeServices none;
    none.legacyOk = none.genericOk = false;
    FakeView v2;
    Form1 f2(none, v2);
    f2.Form_Load();
    EXPECT_FALSE(f2.launchEnabled());
    EXPECT_FALSE(v2.cmdLaunch || v2.mnuLaunch);
    EXPECT_TRUE(v2.timerEnabled);
}

TEST_F(Form1Test, AFailingStepIsSkippedAndStartUpGoesOn) {
    services.failing = {"filecontrol", "ensure-temp", "profile-path", "startlog", "legacy:" + xml};
    ASSERT_TRUE(form.Form_Load());
    EXPECT_TRUE(services.Called("appname:Vantora Recorder"));
    EXPECT_FALSE(services.Called("log:Change profile to recorder"));  // its step failed as a whole
    EXPECT_FALSE(services.Called("generic:" + xml));                 // the load step failed: ok stays false
    EXPECT_FALSE(form.launchEnabled());
    EXPECT_TRUE(view.timerEnabled);
    EXPECT_EQ(view.trayIcons, 1);
    EXPECT_FALSE(view.visible);
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(Form1Test, ASecondInstanceEndsAtOnceWithNothingShown) {
    services.another = true;
    EXPECT_FALSE(form.Form_Load());
    EXPECT_TRUE(view.quit);
    EXPECT_EQ(services.calls, std::vector<std::string>{"instance"});
    EXPECT_EQ(view.events, std::vector<std::string>{"quit"});
}

TEST_F(Form1Test, WritersThatCloseOrRenameAreLoadedAtOnceAndEveryVersionOnce) {
    services.Write(xml, "v1");
    form.Form_Load();
    services.Write(xml, "v2");
    form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
    EXPECT_EQ(Started(), 1);  // no settle period
    // Journaled and logged after the recorder has started: nothing on the
    // way to the recorder waits for a write.
    for (const std::string& after : std::vector<std::string>{"journal:load", "log:Load XML " + xml}) {
        const auto last = std::find(services.calls.rbegin(), services.calls.rend(), after);
        EXPECT_LT(services.Index("start:" + file), services.calls.rend() - last - 1) << after;
    }
    EXPECT_TRUE(services.journaledLoads.back().ok);
    EXPECT_EQ(services.journaledLoads.back().loader, "legacy");
    EXPECT_EQ(services.journaledLoads.back().identity, services.disk[xml].id);
    EXPECT_EQ(services.journaledLaunches.back().outcome, "created");

    services.Replace(xml, "v3");
    form.OrderFileChanged({FileChange::Complete});
    EXPECT_EQ(Started(), 2);
    // Just after a close the kernel may still count the writer for an
    // instant: looked at again at once, not a settle period later.
    services.Write(xml, "v4");
    services.writer = WriterState::Writing;
    form.OrderFileChanged({FileChange::Complete});
    EXPECT_EQ(view.rechecks.back(), 2);
    Pass(20);  // that instant, 20 ms, is over: at the writer's pace
    EXPECT_EQ(view.rechecks.back(), 200);
    services.writer = WriterState::None;
    Pass(200);
    EXPECT_EQ(Started(), 3);

    // A copy that kept an older time, or a PACS host whose clock is behind,
    // is a new version all the same; closed again with nothing written, and
    // a vanished file, are nothing.
    services.Write(xml, "v5");
    services.SetModified(xml, services.wallNs - 3'600'000'000'000);
    form.OrderFileChanged({FileChange::Complete});
    form.OrderFileChanged({FileChange::Complete});
    services.disk.erase(xml);
    form.OrderFileChanged({FileChange::Modified});
    Pass(12000);
    EXPECT_EQ(Loaded(), (std::vector<std::string>{"v1", "v2", "v3", "v4", "v5"}));
    EXPECT_EQ(Started(), 4);
}

TEST_F(Form1Test, AWriterThatPausesWithTheFileOpenIsWaitedForWhoeverOwnsIt) {
    // The program runs as another user: no lease tells; the notifications do.
    services.writer = WriterState::Unknown;
    const std::string old = "<o>MRN=111 ACC=A1 NAME=Old</o>";
    services.Write(xml, old);
    form.Form_Load();
    for (int pauseMs : {2500, 5000, 9900}) {
        // Rewritten in place without truncating: the half state reads as an
        // order (new MRN, old accession and name).
        const std::size_t before = Loaded().size();
        services.Write(xml, "<o>MRN=222", false);
        form.OrderFileChanged({FileChange::Modified});
        Pass(pauseMs);
        EXPECT_EQ(Loaded().size(), before) << pauseMs;
        services.Write(xml, "<o>MRN=222 ACC=A2 NAME=New</o>", false);
        form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
        EXPECT_EQ(Loaded().back(), "<o>MRN=222 ACC=A2 NAME=New</o>") << pauseMs;
        services.Write(xml, old);
        form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
    }
    EXPECT_EQ(Loaded().size(), 7u);
    EXPECT_EQ(Logged("The order file " + xml + " is still held open by its writer: waiting until it is closed"), 3);

    // One that never closes is loaded once the file has stayed the same for 10 s.
    services.Write(xml, "held for good");
    form.OrderFileChanged({FileChange::Modified});
    Pass(9000);
    EXPECT_EQ(Loaded().size(), 7u);
    Pass(1500);
    EXPECT_EQ(Loaded().back(), "held for good");
}

TEST_F(Form1Test, TheLeaseAloneKeepsAWriterWaitedForAndItsLetGoEndsTheWait) {
    services.Write(xml, "v1");
    form.Form_Load();
    // No notifications (a poll-only watch): the lease says a writer holds it.
    services.Write(xml, "half", false);
    services.writer = WriterState::Writing;
    Pass(6000);
    EXPECT_EQ(Loaded().size(), 1u);
    services.Write(xml, "whole version");
    services.writer = WriterState::None;
    Pass(1900);
    EXPECT_EQ(Loaded().size(), 1u);  // seen by the poll alone: 2 s unchanged first
    Pass(1200);
    EXPECT_EQ(Loaded().back(), "whole version");

    // Windows reports no close: a write reported while the writer held the
    // file ends when the writer is seen to let go, at the writer's pace.
    services.Write(xml, "written on Windows");
    services.writer = WriterState::Writing;
    form.OrderFileChanged({FileChange::Modified});
    Pass(3000);
    services.writer = WriterState::None;
    Pass(300);
    EXPECT_EQ(Loaded().back(), "written on Windows");
    EXPECT_EQ(Started(), 2);
}

TEST_F(Form1Test, ChangesSeenOnlyByThePollWaitUntilTheyStayTheSameFor2s) {
    services.resolutionNs = 1'000'000'000;  // a share with one-second times
    services.Write(xml, "<o>old order, patient A</o>");
    form.Form_Load();
    // A writer on another host writes one order in pieces, opening the file
    // for each, pausing up to 1.5 s between them.
    services.Write(xml, "<o>new", false);
    Pass(1500);
    services.Write(xml, "<o>new order", false);
    Pass(1500);
    services.Write(xml, "<o>new order, patient B</o>", false);
    Pass(1900);
    EXPECT_EQ(Loaded().size(), 1u);
    Pass(1200);
    EXPECT_EQ(Loaded(), (std::vector<std::string>{"<o>old order, patient A</o>", "<o>new order, patient B</o>"}));
    EXPECT_EQ(Started(), 1);

    // Changed within the settle period under the same identity (same size,
    // same second): the bytes tell, and the wait starts again.
    services.Advance(3000);
    services.Write(xml, "<o>same size, patient C</o>");
    Pass(1000);
    services.disk[xml].bytes = "<o>same size, patient D</o>";
    Pass(2500);  // C's 2 s are over, but D has not stayed for 2 s yet
    EXPECT_EQ(Loaded().size(), 2u);
    Pass(1500);
    EXPECT_EQ(Loaded().back(), "<o>same size, patient D</o>");
    EXPECT_EQ(Started(), 2);
}

TEST_F(Form1Test, ASameSecondRewriteIsFoundByItsBytesUntilTheLoadedVersionIsSettled) {
    services.resolutionNs = 1'000'000'000;
    services.Advance(100);
    services.Write(xml, "order one");
    form.Form_Load();
    // A poll finds the same bytes: not settled yet. Then another order of
    // the same size in the same second: the identity does not change at all.
    services.Advance(300);
    form.Timer1_Timer();
    services.Advance(300);
    services.Write(xml, "order two");
    ASSERT_EQ(services.disk[xml].id, services.StatOrderFile(xml));
    Pass(4000);
    EXPECT_EQ(Loaded(), (std::vector<std::string>{"order one", "order two"}));
    EXPECT_EQ(Started(), 1);
    // A poll that cannot read it (a writer on Windows that shares no
    // reading) finds no new version: nothing is loaded, logged or journaled.
    services.Write(xml, "order 3");
    form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
    const int logged = Logged("");
    services.unreadable.insert(xml);
    Pass(5000);
    services.unreadable.clear();
    EXPECT_EQ(Logged(""), logged);
    EXPECT_EQ(services.journaledLoads.size(), 3u);
    // Once the version is settled the poll trusts its identity: no reading.
    Pass(3000);
    EXPECT_EQ(Loaded().back(), "order 3");
    EXPECT_EQ(Started(), 2);
    const int reads = services.reads;
    Pass(5000);
    EXPECT_EQ(services.reads, reads);
}

TEST_F(Form1Test, TimesAloneAreNoNewOrderButTheSameBytesWithANewTimeAreOneResent) {
    services.Write(xml, "order");
    form.Form_Load();
    // Polled only: a chmod, and a new owner, move the change time alone.
    services.Advance(5000);
    services.Chmod(xml);
    Pass(5000);
    // Notified: a touch that sets an old time.
    services.SetModified(xml, services.wallNs - 86'400'000'000'000);
    form.OrderFileChanged({FileChange::Attributes});
    Pass(5000);
    EXPECT_EQ(Started(), 0);
    EXPECT_EQ(Loaded().size(), 1u);
    // The same study opened again: the same bytes written anew.
    services.Write(xml, "order");
    Pass(5000);
    services.Write(xml, "order");
    form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
    EXPECT_EQ(Started(), 2);
}

TEST_F(Form1Test, ALaunchOvertakenByANewerOrderStartsNoRecorderAndTheNewerOneIsLaunched) {
    services.Write(xml, "H1");
    form.Form_Load();
    // The drafts folder hangs while H1's file is made; H2 and H3 arrive.
    services.beforeCreate = [&](const std::string&) {
        services.beforeCreate = nullptr;
        services.Advance(4000);
        services.Write(xml, "H2");
        services.Write(xml, "H3");
    };
    services.Write(xml, "H1 again, rewritten");
    form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
    EXPECT_EQ(Calls("start:"), 0);
    EXPECT_EQ(services.journaledLaunches.back().outcome, "superseded");
    EXPECT_EQ(Logged("No recorder started for " + file + ": the order file holds a newer order"), 1);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(services.files.contains(file));  // complete and named for its order: it stays
    form.OrderFileChanged({FileChange::Modified, FileChange::Complete, FileChange::Modified, FileChange::Complete});
    EXPECT_EQ(Loaded().back(), "H3");
    EXPECT_EQ(Started(), 1);

    // The same bytes again, or the file gone once read, supersede nothing.
    for (bool remove : {false, true}) {
        services.beforeCreate = [&, remove](const std::string&) {
            if (remove) services.disk.erase(xml);
            else services.Write(xml, services.disk[xml].bytes);
        };
        services.legacyFields.txtAccession = remove ? "R2" : "R1";
        services.Write(xml, remove ? "R2" : "R1");
        form.OrderFileChanged({FileChange::Complete});
        EXPECT_EQ(services.journaledLaunches.back().outcome, "created") << remove;
        // The launch reads the order just loaded, not the one before.
        EXPECT_EQ(services.journaledLaunches.back().dictationPath, DraftsPath(remove ? "987_R2.iaf" : "987_R1.iaf"));
    }
    EXPECT_EQ(Calls("start:"), 3);
}

TEST_F(Form1Test, APathThatIsNotARegularFileIsLookedAtOnceATickAndNeverOpened) {
    services.Write(xml, "order");
    form.Form_Load();
    services.disk[xml].id.regular = false;  // a link to a device now
    const int stats = Calls("stat:");
    for (int i = 0; i < 5; ++i) {
        form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
        form.RecheckOrderFile();
        form.Timer1_Timer();
    }
    EXPECT_LE(Calls("stat:") - stats, 6);
    EXPECT_EQ(services.reads, 1);
    EXPECT_EQ(Calls("lease:"), 0);
    EXPECT_EQ(Logged("Unable to Load XML " + xml + ": not a regular file"), 1);
    // A regular file moved over it is seen at the next tick; from then on
    // its writer's close is acted on at once, and a device again is logged
    // again.
    services.Replace(xml, "order after the device");
    form.Timer1_Timer();
    EXPECT_EQ(Started(), 0);
    form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
    EXPECT_EQ(Started(), 1);
    services.disk[xml].id.regular = false;
    form.Timer1_Timer();
    EXPECT_EQ(Logged("Unable to Load XML " + xml + ": not a regular file"), 2);
}

TEST_F(Form1Test, AFailedLoadIsRetriedEveryTickButLoggedOnce) {
    services.Write(xml, "good");
    form.Form_Load();
    services.legacyOk = services.genericOk = false;
    services.Advance(1000);
    services.Write(xml, "broken");
    Pass(5000);
    const int tries = services.Count("generic:" + xml);
    EXPECT_GE(tries, 3);
    Pass(3000);  // once a tick
    EXPECT_EQ(services.Count("generic:" + xml), tries + 3);
    EXPECT_EQ(Logged("Load XML"), 2);  // start-up's, then this version's once
    EXPECT_EQ(services.journaledLoads.back().reason, "not an order in a known layout");
    const FileDate loadedDate = form.XMLFileDate();
    EXPECT_NE(loadedDate, services.disk[xml].id.mtimeNs);
    EXPECT_EQ(Calls("start:"), 0);
    EXPECT_TRUE(form.launchEnabled());  // not disabled by a failed reload
    // What a failing loader left half done is no order: the one loaded
    // before is still shown, and is what a launch by hand takes.
    EXPECT_EQ(form.order().fields.txtMRN, "987");
    EXPECT_EQ(view.fields.txtMRN, "987");

    // Another broken version, its writer seen to let go (Windows reports no
    // close), is logged again, and retried from the next tick on as well.
    services.Write(xml, "broken too");
    form.OrderFileChanged({FileChange::Modified});
    const int closedTries = services.Count("generic:" + xml);
    Pass(2000);
    EXPECT_EQ(services.Count("generic:" + xml), closedTries + 2);
    EXPECT_EQ(Logged("Load XML"), 3);

    services.legacyOk = true;
    Pass(1000);
    EXPECT_EQ(form.XMLFileDate(), services.disk[xml].id.mtimeNs);
    EXPECT_EQ(Started(), 1);
}

TEST_F(Form1Test, DialogLoadsAndRemembersButNeverLaunches) {
    services.Write(xml, "order");
    form.Form_Load();
    const auto callsBefore = services.calls.size();

    view.dialogAnswer = std::nullopt;  // cancelled
    form.cmdXmlFile_Click();
    EXPECT_EQ(view.dialogTitle, "Select XML File");
    EXPECT_EQ(view.dialogFilter, "XML File (*.xml)|*.xml");
    EXPECT_EQ(view.dialogFlags, 4100);
    EXPECT_EQ(view.dialogInitial, xml);
    EXPECT_EQ(services.calls.size(), callsBefore + 1);  // only the initial file name was read
    EXPECT_TRUE(view.rechecks.empty());
    EXPECT_TRUE(services.settings.empty());

    services.legacyOk = services.genericOk = false;
    view.dialogAnswer = "/other/bad.xml";
    services.Write("/other/bad.xml", "bad");
    form.txtXMLFile_DblClick();
    EXPECT_TRUE(services.settings.empty());

    services.legacyOk = true;
    services.Write("/other/new.xml", "chosen");
    services.duringLoad = [&] { services.Write("/other/new.xml", "rewritten during the dialog's load"); };
    view.dialogAnswer = "/other/new.xml";
    form.cmdXmlFile_Click();
    services.duringLoad = nullptr;
    EXPECT_EQ(services.settings["XMLDataPath"], "/other/new.xml");
    EXPECT_EQ(view.xmlFileText, "/other/new.xml");
    EXPECT_EQ(Calls("start:"), 0);

    Pass(3000);  // the rewrite made during the dialog's load is launched
    EXPECT_EQ(Loaded().back(), "rewritten during the dialog's load");
    EXPECT_EQ(Started(), 1);

    // A choice that cannot be remembered changes nothing: the next tick must
    // not take the old file for a new version and launch it.
    services.saveOk = false;
    services.legacyFields.txtMRN = "555";
    services.Write("/other/third.xml", "third");
    view.dialogAnswer = "/other/third.xml";
    form.cmdXmlFile_Click();
    EXPECT_EQ(services.xmlPath, "/other/new.xml");
    EXPECT_EQ(form.order().fields.txtMRN, "987");
    EXPECT_EQ(view.xmlFileText, "/other/new.xml");
    Pass(3000);
    EXPECT_EQ(Started(), 1);

    // A machine policy names the order file: a choice is remembered, but
    // neither loaded nor watched, and the policy's file is not taken for new.
    services.saveOk = true;
    services.policyXmlPath = "/other/new.xml";
    services.Write("/other/fourth.xml", "fourth");
    view.dialogAnswer = "/other/fourth.xml";
    form.cmdXmlFile_Click();
    EXPECT_EQ(services.settings["XMLDataPath"], "/other/fourth.xml");
    EXPECT_EQ(form.order().fields.txtMRN, "987");
    EXPECT_EQ(view.xmlFileText, "/other/new.xml");
    EXPECT_EQ(Logged("Not watching /other/fourth.xml: the order file is set by machine policy to /other/new.xml"), 1);
    Pass(3000);
    EXPECT_EQ(Calls("start:"), 1);

    // The policy now names the very same file by another name (its share
    // path): a file newly watched, its order loaded and shown afresh.
    services.disk["/share/new.xml"] = services.disk["/other/new.xml"];
    services.legacyFields.txtMRN = "556";
    services.policyXmlPath = "/share/new.xml";
    Pass(3000);
    EXPECT_EQ(services.Count("legacy:/share/new.xml"), 1);
    EXPECT_EQ(view.fields.txtMRN, "556");
}

TEST_F(Form1Test, LaunchCreatesOnceReusesAfterAndReportsFailure) {
    form.order().fields = {"987", "A678", "", "", ""};
    EXPECT_EQ(form.Launch().result, LaunchResult::Created);
    EXPECT_EQ(form.Launch().result, LaunchResult::Reused);
    EXPECT_EQ(services.Count("create:" + file), 1);
    EXPECT_EQ(services.Count("start:" + file), 2);

    // A failure says where, at which step and in the system's words.
    services.createResult = CreateResult::Failed;
    services.createWhy = "publish the file under its name: Operation not permitted";
    form.order().fields.txtMRN = "988";
    form.mnuLaunch_Click();
    const std::string path = DraftsPath("988_A678.iaf");
    EXPECT_EQ(view.messages, std::vector<std::string>{"Unable to create " + path});
    EXPECT_FALSE(services.Called("start:" + path));
    EXPECT_EQ(Logged("Unable to create " + path + ": publish the file under its name: Operation not permitted"), 1);
    EXPECT_EQ(services.journaledLaunches.back().outcome, "failed");
    EXPECT_EQ(services.journaledLaunches.back().reason, services.createWhy);
    EXPECT_EQ(services.journaledLaunches.back().dictationPath, path);
    EXPECT_EQ(services.journaledLaunches.size(), 3u);
    EXPECT_TRUE(services.journaledLoads.empty());  // launches by hand follow no load

    // A recorder that cannot start is shown and logged with the system's
    // reason; none configured is silent, as always.
    services.createResult = CreateResult::Created;
    services.recorder = {"/r/rec --fast", false, 0, "No such file or directory"};
    EXPECT_EQ(form.Launch().result, LaunchResult::Created);
    EXPECT_EQ(view.messages.back(), "Unable to start the recorder /r/rec --fast");
    EXPECT_EQ(Logged("Unable to start the recorder /r/rec --fast: No such file or directory"), 1);
    services.recorder = {};
    form.Launch();
    EXPECT_EQ(view.messages.size(), 2u);
}

TEST_F(Form1Test, AFileIsReusedOnlyWhenItWasMadeForThisOrder) {
    using Kind = DictationFileInfo::Kind;
    // MRN "1_2" with accession "3" and MRN "1" with "2_3" share a name.
    services.files[DraftsPath("1_2_3.iaf")] = {Kind::Dictation, {{"T_Created", "t"}, {"F_Subject", "1"}, {"F_DocType", "2_3"}}};
    form.order().fields = {"1_2", "3", "", "", ""};
    EXPECT_EQ(form.Launch().result, LaunchResult::Refused);
    // A link, a folder or a damaged file in the way is never opened either.
    services.files[file] = {Kind::Other, {}};
    form.order().fields = {"987", "A678", "", "", ""};
    EXPECT_EQ(form.Launch().result, LaunchResult::Refused);
    EXPECT_EQ(view.messages[1], "Unable to create " + file);
    EXPECT_FALSE(services.Called("create:" + file));
    EXPECT_EQ(Calls("start:"), 0);
    EXPECT_EQ(Logged("Unable to create " + file + ": something that is not a dictation file is in the way"), 1);

    // Reused only when MRN, accession and patient name are all the order's:
    // one differing is enough to refuse (a file made from a half-written
    // order, another patient under the same numbers, a renamed patient).
    const VnfFields mine = {{"T_Created", "t"}, {"F_Subject", "987"}, {"F_Matter", "Doe^Jane"}, {"F_DocType", "A678"}};
    form.order().fields = {"987", "A678", "CT", "Doe^Jane", ""};
    for (std::size_t differing = 1; differing < mine.size(); ++differing) {
        VnfFields theirs = mine;
        theirs[differing].second += "X";
        services.files[file] = {Kind::Dictation, theirs};
        EXPECT_EQ(form.Launch().result, LaunchResult::Refused) << theirs[differing].first;
    }
    EXPECT_EQ(view.messages.back(), "Unable to create " + file + "\npatient \"Doe^Jane\", MRN \"987\", accession \"A678X\"");
    EXPECT_EQ(services.journaledLaunches.back().reason,
              "the dictation file there was made for another order: patient \"Doe^Jane\", MRN \"987\", accession \"A678X\"");
    services.files[file] = {Kind::Dictation, {{"F_Subject", "987"}, {"F_DocType", "A678"}}};  // no name stored
    EXPECT_EQ(form.Launch().result, LaunchResult::Refused);
    EXPECT_EQ(view.messages.back(), "Unable to create " + file + "\npatient (none), MRN \"987\", accession \"A678\"");
    EXPECT_EQ(Calls("start:"), 0);
    // Study and other fields corrected since: still this order's file.
    services.files[file] = {Kind::Dictation, {{"F_Subject", "987"}, {"F_Matter", "Doe^Jane"}, {"F_DocName", "MR"}, {"F_DocType", "A678"}}};
    EXPECT_EQ(form.Launch().result, LaunchResult::Reused);
}

TEST_F(Form1Test, OrdersWithoutAccessionInOneMinuteGetTheirOwnFiles) {
    const std::string stamp = DraftsPath("_T261207_0905");
    OrderState& o = form.order();
    o.fields = {"", "T261207_0905", "", "", ""};
    o.accessionGenerated = true;
    o.xml_elements = {{"<Order><Patient><Id>", "111"}};
    EXPECT_EQ(form.Launch().path, stamp + ".iaf");
    o.xml_elements = {{"<Order><Patient><Id>", "222"}};
    LaunchOutcome second = form.Launch();
    EXPECT_EQ(second.result, LaunchResult::Created);
    EXPECT_EQ(second.path, stamp + "_2.iaf");
    // Each order finds its own file again.
    EXPECT_EQ(form.Launch().path, stamp + "_2.iaf");
    o.xml_elements = {{"<Order><Patient><Id>", "111"}};
    LaunchOutcome first = form.Launch();
    EXPECT_EQ(first.result, LaunchResult::Reused);
    EXPECT_EQ(first.path, stamp + ".iaf");
    // A typed accession number is the user's: it names one order.
    form.SetOrderFields({"", "A1", "", "", ""});
    services.files[DraftsPath("_A1.iaf")] = {DictationFileInfo::Kind::Dictation, {{"F_Subject", ""}, {"F_Matter", ""}, {"F_DocType", "A1"}}};
    EXPECT_EQ(form.Launch().result, LaunchResult::Reused);
}

TEST_F(Form1Test, ANameTakenDuringTheCreationIsTheReuseCase) {
    form.order().fields = {"987", "A678", "", "", ""};
    // Another launch of the same order publishes first.
    services.beforeCreate = [&](const std::string& p) {
        services.files[p] = {DictationFileInfo::Kind::Dictation, {{"F_Subject", "987"}, {"F_Matter", ""}, {"F_DocType", "A678"}}};
    };
    EXPECT_EQ(form.Launch().result, LaunchResult::Reused);
    EXPECT_EQ(services.Count("start:" + file), 1);
    // Another order's file took the name: refused.
    form.order().fields.txtAccession = "B1";
    services.beforeCreate = [&](const std::string& p) {
        services.files[p] = {DictationFileInfo::Kind::Dictation, {{"F_Subject", "666"}, {"F_DocType", "B1"}}};
    };
    EXPECT_EQ(form.Launch().result, LaunchResult::Refused);
}

TEST_F(Form1Test, NamesTheFileSystemCannotCarrySafelyAreRefused) {
    const std::vector<std::string> bad = {"a/b", "a\\b", "a\tb", "a\x1F" "b", std::string("a\0b", 3), "a\x7f", "x\xE2\x80\xAE" "fdp", "\xE2\x80\xAA" "x",
                                          "\xE2\x81\xA6x", "a\xE2\x80\x8E", "\xE2\x80\x8F" "1", "1\xD8\x9C" "2", "a:b", "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b"};
    for (const std::string& b : bad) {
        const std::string& bad = b;
        form.order().fields = {bad, "A678", "", "", ""};
        EXPECT_EQ(form.Launch().result, LaunchResult::Refused) << bad;
        form.order().fields = {"987", bad, "", "", ""};
        EXPECT_EQ(form.Launch().result, LaunchResult::Refused) << bad;
    }
    EXPECT_EQ(Calls("create:"), 0);
    EXPECT_EQ(Calls("start:"), 0);
    // Letters of any script (Myanmar's among them share bytes with the
    // marks), decomposed accents, and the punctuation and signs beside the
    // marks refused (an ellipsis, a superscript, a currency sign), are fine.
    form.order().fields = {"Jos\xC3\xA9\xE2\x80\xA6\xD8\xA7\xD1\x9C\xE1\x80\x8E", "e\xCC\x81\xE2\x81\xB0\xE2\x82\xA9\xE2\x80\xAF", "", "", ""};
    EXPECT_EQ(form.Launch().result, LaunchResult::Created);
}

TEST_F(Form1Test, WindowLifetimeThroughTrayCloseAndExit) {
    form.Form_Load();
    form.Form_MouseMove(514);  // a single click does nothing
    EXPECT_FALSE(view.visible);
    EXPECT_EQ(std::count(view.events.begin(), view.events.end(), "menu"), 0);
    form.Form_MouseMove(kTrayRightButtonUp);
    EXPECT_EQ(view.events.back(), "menu");
    form.Form_MouseMove(kTrayDoubleClick);
    EXPECT_TRUE(view.visible);
    EXPECT_EQ(view.trayIcons, 0);

    int cancel = 0;
    form.Form_QueryUnload(cancel, kQueryUnloadFromUser);  // close box
    EXPECT_EQ(cancel, 1);
    EXPECT_FALSE(view.visible);
    EXPECT_EQ(view.trayIcons, 1);

    form.mnuClose_Click();  // while already hidden: still one icon
    EXPECT_EQ(view.trayIcons, 1);

    cancel = 0;
    form.Form_QueryUnload(cancel, 2);  // end of session: closes, not hidden to the tray
    EXPECT_EQ(cancel, 0);

    form.Form_MouseMove(kTrayDoubleClick);
    form.mnuExit_Click();  // also while open
    EXPECT_TRUE(view.quit);
    EXPECT_TRUE(form.exiting());
    EXPECT_EQ(view.trayIcons, 0);
}

TEST_F(Form1Test, WithoutANotificationAreaTheWindowIsMinimisedNotHidden) {
    view.trayAvailable = false;
    form.Form_Load();
    EXPECT_TRUE(view.visible);
    EXPECT_TRUE(view.minimized);
    form.Form_MouseMove(kTrayDoubleClick);
    form.mnuClose_Click();
    EXPECT_TRUE(view.visible);
    EXPECT_TRUE(view.minimized);
}

}  // namespace
}  // namespace pvd
