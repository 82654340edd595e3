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
    // The poll sees a change, and the settle period passes without another.
    void Settle() {
        form.Timer1_Timer();
        services.now += kSettleMs;
        form.RecheckOrderFile();
    }
    int Calls(const std::string& prefix) const {
        return static_cast<int>(std::count_if(services.calls.begin(), services.calls.end(),
                                              [&](const std::string& c) { return c.starts_with(prefix); }));
    }
    int Logged(const std::string& prefix) const { return Calls("log:" + prefix); }
};

TEST_F(Form1Test, StartUpRunsItsStepsInOrderAndEndsInTheTray) {
    services.dates[xml] = 100;
    ASSERT_TRUE(form.Form_Load());
    EXPECT_EQ(view.caption, "PACS Vantora Driver");
    // The profile is logged after the start of the log, which empties it.
    const std::vector<std::string> order = {"instance",   "filecontrol", "filesystem", "ensure-temp", "appname:Vantora Recorder",
                                            "profile:recorder", "startlog", "log:Change profile to recorder", "clean",
                                            "read:" + xml, "legacy:" + xml, "log:Load XML " + xml};
    for (std::size_t i = 1; i < order.size(); ++i) EXPECT_LT(services.Index(order[i - 1]), services.Index(order[i])) << order[i];
    EXPECT_FALSE(services.Called("generic:" + xml));  // the fixed layout loaded
    EXPECT_EQ(form.XMLFileDate(), 100);
    EXPECT_TRUE(form.launchEnabled());
    EXPECT_TRUE(view.cmdLaunch && view.mnuLaunch);
    EXPECT_EQ(view.fields, services.legacyFields);
    EXPECT_EQ(view.xmlFileText, xml);
    EXPECT_FALSE(view.visible);
    EXPECT_FALSE(view.minimized);
    EXPECT_EQ(view.trayIcons, 1);
    EXPECT_EQ(services.Count("create:" + DraftsPath("987_A678.iaf")) + services.Count("start:" + DraftsPath("987_A678.iaf")), 0);

    // The timer starts only once the date of the file just loaded is known.
    auto pos = [&](const std::string& e) { return std::find(view.events.begin(), view.events.end(), e) - view.events.begin(); };
    EXPECT_LT(pos("launch-off"), pos("launch-on"));
    EXPECT_LT(pos("launch-on"), pos("timer"));
    EXPECT_LT(pos("timer"), pos("tray-add"));
    EXPECT_LT(pos("tray-add"), pos("hide"));

    form.Timer1_Timer();  // unchanged file: nothing
    EXPECT_EQ(services.Count("legacy:" + xml), 1);
}

TEST_F(Form1Test, ARewriteDuringTheStartUpLoadIsLaunchedByTheFirstTick) {
    services.dates[xml] = 100;
    services.duringLoad = [&] { services.dates[xml] = 101; };
    form.Form_Load();
    EXPECT_EQ(form.XMLFileDate(), 100);
    services.duringLoad = nullptr;
    Settle();
    EXPECT_EQ(form.XMLFileDate(), 101);
    EXPECT_TRUE(services.Called("start:" + DraftsPath("987_A678.iaf")));
}

TEST_F(Form1Test, BothLoadersParseOneReadingOfTheFile) {
    services.legacyOk = false;
    services.dates[xml] = 100;
    form.Form_Load();
    services.dates[xml] = 200;
    Settle();
    EXPECT_EQ(services.reads, 2);
    EXPECT_EQ(services.legacySaw, (std::vector<std::string>{"version 100", "version 200"}));
    EXPECT_EQ(services.genericSaw, services.legacySaw);
}

TEST_F(Form1Test, OnlyWhenTheFixedLayoutFailsIsTheGenericLoaderTried) {
    services.legacyOk = false;
    ASSERT_TRUE(form.Form_Load());
    EXPECT_TRUE(services.Called("generic:" + xml));
    EXPECT_TRUE(form.launchEnabled());

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
    EXPECT_FALSE(services.Called("generic:" + xml));                 // step 12 failed: ok stays false
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

TEST_F(Form1Test, EveryNewVersionIsLaunchedOnceWhateverItsTime) {
    services.dates[xml] = 100;
    form.Form_Load();
    Settle();  // unchanged: nothing
    EXPECT_EQ(services.Count("legacy:" + xml), 1);

    services.dates[xml] = 200;
    form.Timer1_Timer();  // seen by the poll: waits for the file to settle
    EXPECT_FALSE(services.Called("start:" + file));
    EXPECT_EQ(view.rechecks.back(), kSettleMs);
    services.now += kSettleMs;
    form.RecheckOrderFile();
    EXPECT_EQ(form.XMLFileDate(), 200);
    EXPECT_EQ(services.Count("start:" + file), 1);
    // Journaled after the recorder has started: the journal never delays it.
    // So is its log line: nothing on the way to the recorder waits for a write.
    for (const std::string& after : std::vector<std::string>{"journal:load", "log:Load XML " + xml}) {
        const auto last = std::find(services.calls.rbegin(), services.calls.rend(), after);
        EXPECT_LT(services.Index("start:" + file), services.calls.rend() - last - 1) << after;
    }
    EXPECT_EQ(services.journaledLoads.back().loader, "legacy");
    EXPECT_EQ(services.journaledLaunches.back().outcome, "created");

    // A copy that kept an older time, or a PACS host whose clock is behind,
    // is a new version all the same; a vanished file does nothing.
    services.dates[xml] = 150;
    Settle();
    EXPECT_EQ(services.Count("start:" + file), 2);
    services.dates.erase(xml);
    Settle();
    EXPECT_EQ(services.Count("legacy:" + xml), 3);
}

TEST_F(Form1Test, NotificationsLoadFinishedVersionsAtOnceAndOnlyThose) {
    services.dates[xml] = 100;
    form.Form_Load();
    // Closed by its writer: loaded at once, no settle period.
    services.dates[xml] = 101;
    form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
    EXPECT_EQ(services.Count("start:" + file), 1);

    // Just after a close the kernel may still count the writer for an
    // instant: looked at again at once, not a settle period later.
    services.dates[xml] = 1011;
    services.writer = WriterState::Writing;
    form.OrderFileChanged({FileChange::Complete});
    EXPECT_EQ(view.rechecks.back(), 2);
    services.writer = WriterState::None;
    services.now += 2;
    form.RecheckOrderFile();
    EXPECT_EQ(services.Count("start:" + file), 2);

    // Written but not closed: not loaded while a writer holds it open...
    services.dates[xml] = 102;
    services.writer = WriterState::Writing;
    form.OrderFileChanged({FileChange::Modified});
    services.now += kSettleMs;
    form.RecheckOrderFile();
    EXPECT_EQ(services.Count("legacy:" + xml), 3);
    // ...unless it holds it, unchanged, for longer than any pause in a write.
    services.now += kMaxWriterWaitMs;
    form.RecheckOrderFile();
    EXPECT_EQ(services.Count("start:" + file), 3);

    // Same time and size, other bytes (two rewrites within one clock tick):
    // after a notification the bytes tell.
    services.writer = WriterState::None;
    services.contents[xml] = "rewritten";
    form.OrderFileChanged({FileChange::Complete});
    EXPECT_EQ(services.Count("start:" + file), 4);
    form.OrderFileChanged({FileChange::Complete});  // closed again, nothing written
    EXPECT_EQ(services.Count("start:" + file), 4);

    // Only the times changed (a copy that keeps its times, a touch): no new order.
    services.dates[xml] = 90;
    form.OrderFileChanged({FileChange::Attributes});
    services.now += kSettleMs;
    form.RecheckOrderFile();
    EXPECT_EQ(services.Count("start:" + file), 4);
    // The same bytes written again are the same study opened again.
    services.dates[xml] = 300;
    form.OrderFileChanged({FileChange::Modified, FileChange::Complete});
    EXPECT_EQ(services.Count("start:" + file), 5);
}

TEST_F(Form1Test, AFailedLoadIsRetriedEveryTickButLoggedOnce) {
    services.dates[xml] = 100;
    form.Form_Load();
    services.legacyOk = services.genericOk = false;
    services.dates[xml] = 200;
    Settle();
    form.Timer1_Timer();
    form.Timer1_Timer();
    EXPECT_EQ(services.Count("generic:" + xml), 3);
    EXPECT_EQ(Logged("Load XML"), 2);  // start-up's, then this version's once
    EXPECT_EQ(form.XMLFileDate(), 100);
    EXPECT_FALSE(services.Called("start:" + file));
    EXPECT_TRUE(form.launchEnabled());  // not disabled by a failed reload

    services.dates[xml] = 201;  // another broken version is logged again
    Settle();
    EXPECT_EQ(Logged("Load XML"), 3);

    services.legacyOk = true;
    form.Timer1_Timer();
    EXPECT_EQ(form.XMLFileDate(), 201);
    EXPECT_EQ(services.Count("start:" + file), 1);
}

TEST_F(Form1Test, DialogLoadsAndRemembersButNeverLaunches) {
    services.dates[xml] = 100;
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
    form.txtXMLFile_DblClick();
    EXPECT_TRUE(services.settings.empty());
    EXPECT_EQ(form.XMLFileDate(), 100);

    services.legacyOk = true;
    services.dates["/other/new.xml"] = 300;
    services.duringLoad = [&] { services.dates["/other/new.xml"] = 301; };
    view.dialogAnswer = "/other/new.xml";
    form.cmdXmlFile_Click();
    services.duringLoad = nullptr;
    EXPECT_EQ(services.settings["XMLDataPath"], "/other/new.xml");
    EXPECT_EQ(form.XMLFileDate(), 300);  // the rewrite during the load is still ahead
    EXPECT_EQ(view.xmlFileText, "/other/new.xml");
    EXPECT_FALSE(services.Called("start:" + DraftsPath("987_A678.iaf")));

    Settle();  // the rewrite made during the dialog's load is launched
    EXPECT_EQ(services.Count("start:" + DraftsPath("987_A678.iaf")), 1);

    // A choice that cannot be remembered changes nothing: the next tick must
    // not take the old file for a new version and launch it.
    services.saveOk = false;
    services.legacyFields.txtMRN = "555";
    services.dates["/other/third.xml"] = 400;
    view.dialogAnswer = "/other/third.xml";
    form.cmdXmlFile_Click();
    EXPECT_EQ(services.xmlPath, "/other/new.xml");
    EXPECT_EQ(form.order().fields.txtMRN, "987");
    EXPECT_EQ(view.xmlFileText, "/other/new.xml");
    Settle();
    EXPECT_EQ(form.XMLFileDate(), 301);
    EXPECT_EQ(services.Count("start:" + DraftsPath("987_A678.iaf")), 1);
}

TEST_F(Form1Test, LaunchCreatesOnceReusesAfterAndReportsFailure) {
    form.order().fields = {"987", "A678", "", "", ""};
    EXPECT_EQ(form.Launch().result, LaunchResult::Created);
    EXPECT_EQ(form.Launch().result, LaunchResult::Reused);
    EXPECT_EQ(services.Count("create:" + file), 1);
    EXPECT_EQ(services.Count("start:" + file), 2);

    services.createResult = CreateResult::Failed;
    form.order().fields.txtMRN = "988";
    form.mnuLaunch_Click();
    EXPECT_EQ(view.messages, std::vector<std::string>{"Unable to create " + DraftsPath("988_A678.iaf")});
    EXPECT_FALSE(services.Called("start:" + DraftsPath("988_A678.iaf")));
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
    EXPECT_EQ(view.messages, (std::vector<std::string>{"Unable to create " + DraftsPath("1_2_3.iaf"), "Unable to create " + file}));
    EXPECT_FALSE(services.Called("create:" + file));
    EXPECT_EQ(Calls("start:"), 0);
    EXPECT_EQ(Logged("Unable to create "), 2);  // with the reason

    // Stored patient name corrected since: still this order's file.
    services.files[file] = {Kind::Dictation, {{"F_Subject", "987"}, {"F_Matter", "old name"}, {"F_DocType", "A678"}}};
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
    services.files[DraftsPath("_A1.iaf")] = {DictationFileInfo::Kind::Dictation, {{"F_Subject", ""}, {"F_DocType", "A1"}}};
    EXPECT_EQ(form.Launch().result, LaunchResult::Reused);
}

TEST_F(Form1Test, ANameTakenDuringTheCreationIsTheReuseCase) {
    form.order().fields = {"987", "A678", "", "", ""};
    // Another launch of the same order publishes first.
    services.beforeCreate = [&](const std::string& p) {
        services.files[p] = {DictationFileInfo::Kind::Dictation, {{"F_Subject", "987"}, {"F_DocType", "A678"}}};
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
    const std::vector<std::string> bad = {"a/b", "a\\b", "a\tb", std::string("a\0b", 3), "a\x7f", "x\xE2\x80\xAE" "fdp",
                                          "\xE2\x81\xA6x", "a:b", "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b"};
    for (const std::string& b : bad) {
        const std::string& bad = b;
        form.order().fields = {bad, "A678", "", "", ""};
        EXPECT_EQ(form.Launch().result, LaunchResult::Refused) << bad;
        form.order().fields = {"987", bad, "", "", ""};
        EXPECT_EQ(form.Launch().result, LaunchResult::Refused) << bad;
    }
    EXPECT_EQ(Calls("create:"), 0);
    EXPECT_EQ(Calls("start:"), 0);
    // Letters of any script, and decomposed accents, are fine.
    form.order().fields = {"Jos\xC3\xA9", "e\xCC\x81", "", "", ""};
    EXPECT_EQ(form.Launch().result, LaunchResult::Created);
}

TEST_F(Form1Test, ARecorderThatCannotStartIsReported) {
    form.order().fields = {"987", "A678", "", "", ""};
    services.recorder = {"/r/rec --fast", false, 0, "No such file or directory"};
    LaunchOutcome out = form.Launch();
    EXPECT_EQ(out.result, LaunchResult::Created);
    EXPECT_EQ(view.messages, std::vector<std::string>{"Unable to start the recorder /r/rec --fast"});
    EXPECT_EQ(Logged("Unable to start the recorder /r/rec --fast: No such file or directory"), 1);
    // No recorder configured: silent, as always.
    services.recorder = {};
    form.Launch();
    EXPECT_EQ(view.messages.size(), 1u);
}

TEST_F(Form1Test, WindowLifetimeThroughTrayCloseAndExit) {
    form.Form_Load();
    form.Form_MouseMove(514);  // a single click does nothing
    EXPECT_FALSE(view.visible);
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
