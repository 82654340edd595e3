// The main window's state and every operation of it, free of any toolkit:
// start-up, the order-file watch, the file dialog, the launch command, the
// menu and the tray icon's clicks. A view draws it and forwards events.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/journal.h"
#include "dictation/StartVNR.h"
#include "dictation/launch.h"
#include "dictation/new_file.h"
#include "fileutil/FileFunctions.h"
#include "intake/order.h"
#include "platform/file_watch.h"
#include "platform/log_sink.h"
#include "platform/xml_document.h"

namespace pvd {

// Everything Form1 asks of the rest of the program. Any call may fail by
// throwing; start-up and the tray callback then skip that step and go on.
class Form1Services {
public:
    virtual ~Form1Services() = default;
    virtual bool AnotherInstanceRunning() = 0;
    virtual void InitFileControl() = 0;
    virtual void InitFileSystem() = 0;
    virtual std::string TempFolder() = 0;  // TEMP & "/Vantora/" & product key name
    virtual void EnsureTempFolder(const std::string& path) = 0;
    virtual void SetSettingsAppName(const std::string& name) = 0;
    virtual std::string GetProfilePathFilename() = 0;
    virtual void SetCurrentProfile(const std::string& name) = 0;
    virtual void WriteLog(const std::string& message) = 0;
    virtual void StartLog() = 0;
    virtual std::string GetXMLFilename() = 0;
    // One reading of the order file, which both loaders then parse.
    virtual xml::FileSnapshot ReadOrderFile(const std::string& path) = 0;
    // The loaders write their log lines to `log`.
    virtual bool LoadLegacyXML(OrderState& order, const xml::FileSnapshot& file, LogSink& log) = 0;
    virtual bool LoadXML(OrderState& order, const xml::FileSnapshot& file, LogSink& log) = 0;
    // Which version of the order file is there now.
    virtual FileIdentity StatOrderFile(const std::string& path) = 0;
    virtual WriterState OrderFileWriter(const std::string& path) = 0;
    // A clock that only goes forward, in milliseconds.
    virtual std::int64_t MonotonicMs() = 0;
    // False, and the reason logged, when the setting could not be stored.
    virtual bool SaveDefaultSetting(const std::string& key, const std::string& value) = 0;
    virtual std::string GetDraftsFolder() = 0;
    // Removes what an interrupted creation left in the drafts folder.
    virtual void CleanDraftsFolder() = 0;
    virtual DictationFileInfo InspectDictationFile(const std::string& path) = 0;
    // `why`, on failure: the step that failed and the system's own words.
    virtual CreateResult CreateNewFile(const std::string& path, const OrderState& order, std::string& why) = 0;
    virtual RecorderStart StartVNR(const std::string& path) = 0;
    // The launch journal; its failures never reach the caller.
    virtual void RecordStart() = 0;
    virtual void RecordExit() = 0;
    virtual void RecordLoad(const JournalLoad& load) = 0;
    virtual void RecordLaunch(const JournalLaunch& launch) = 0;
};

// What the window and the tray show.
class Form1View {
public:
    virtual ~Form1View() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void ShowOrderFields(const OrderFields& fields) = 0;
    virtual void SetXMLFileText(const std::string& text) = 0;
    virtual void SetLaunchEnabled(bool cmdLaunch, bool mnuLaunch) = 0;
    virtual void EnableTimer() = 0;
    virtual void ShowWindow() = 0;
    virtual void HideWindow() = 0;
    virtual void MinimizeWindow() = 0;
    virtual void SetWindowStateNormal() = 0;
    virtual bool TrayAvailable() = 0;
    virtual bool AddTrayIcon(const std::string& tip, int callbackMessage) = 0;
    virtual void RemoveTrayIcon() = 0;
    virtual void PopupFileMenu() = 0;
    // The Open dialog; nothing when it was cancelled.
    virtual std::optional<std::string> ShowOpenDialog(const std::string& title, const std::string& filter, int flags,
                                                      const std::string& initialFile) = 0;
    virtual void ShowMessage(const std::string& text) = 0;
    // Asks for RecheckOrderFile after `ms` milliseconds (one pending request).
    virtual void ScheduleRecheck(int ms) = 0;
    // Unloads the window and ends the program.
    virtual void Quit() = 0;
};

// Superseded: the order file held a newer version before the recorder
// started, so no recorder was started for this one.
enum class LaunchResult { Reused, Created, Refused, Failed, Superseded };

struct LaunchOutcome {
    LaunchResult result = LaunchResult::Failed;
    std::string path;
    std::string reason;      // why it was refused or failed, when known
    std::string madeFor;     // whom a refused file was made for
    RecorderStart recorder;  // for a created or reused file
};

// A change is loaded at once when its writer is seen to finish (closed after
// writing, or moved into place). A change seen without any notification (the
// poll; a share written from another host) once its identity and bytes have
// stayed the same for kSettleMs. A writer known to hold the file (a write
// reported and no close since, or a lease refused) is waited for until it
// closes, or until the file has stayed the same for kMaxWriterWaitMs; it is
// looked at every kWriterPaceMs meanwhile.
inline constexpr int kSettleMs = 2000;
inline constexpr int kMaxWriterWaitMs = 10000;
inline constexpr int kWriterPaceMs = 200;
// On a file system with coarse times (FAT's are 2 s) a rewrite of the same
// size within one tick of the writer's clock keeps the identity. A loaded
// version is known by its identity alone once its bytes were found the same
// this long after it was read: its writer's tick is over by then, whatever
// that writer's clock says.
inline constexpr std::int64_t kIdentitySettledMs = 2000;

inline constexpr const char* kCaption = "PACS Vantora Driver";
inline constexpr int kTrayCallbackMessage = 512;
inline constexpr int kTrayDoubleClick = 515;
inline constexpr int kTrayRightButtonUp = 517;
inline constexpr int kQueryUnloadFromUser = 0;
inline constexpr int kQueryUnloadFromCode = 1;

class Form1 {
public:
    Form1(Form1Services& services, Form1View& view) : s_(services), v_(view) {}

    // Start-up: runs once; false when another instance runs and this one ends.
    bool Form_Load();

    // The one-second poll of the order file.
    void Timer1_Timer();
    // The file-system notifications of the order file, as one batch.
    void OrderFileChanged(const std::vector<FileChange>& changes);
    // The settle period asked for by ScheduleRecheck has passed.
    void RecheckOrderFile();
    void LoadNewXMLFile();
    void cmdXmlFile_Click() { LoadNewXMLFile(); }
    void txtXMLFile_DblClick() { LoadNewXMLFile(); }
    void cmdLaunch_Click() { Launch(); }
    // fromOrderFile: the launch of a version just loaded by the watch, which
    // starts no recorder once the file holds a newer version.
    LaunchOutcome Launch(bool fromOrderFile = false);

    void Form_MouseMove(int message);
    void Form_QueryUnload(int& cancel, int unloadMode);
    void mnuLaunch_Click() { cmdLaunch_Click(); }
    void mnuClose_Click();
    void mnuExit_Click();

    std::string GetXMLFilename() { return s_.GetXMLFilename(); }
    // Loads the order file into the order (fixed layout first, then generic)
    // and logs what the loaders say.
    bool LoadOrder(const std::string& path);

    // The text boxes: what the user types is what the launch reads. A typed
    // accession number is the user's, no longer a generated one.
    void SetOrderFields(const OrderFields& fields);

    OrderState& order() { return order_; }
    const OrderState& order() const { return order_; }
    FileDate XMLFileDate() const { return xmlFileDate_; }
    bool launchEnabled() const { return launchEnabled_; }
    bool exiting() const { return exiting_; }

private:
    void SetLaunchEnabled(bool enabled);
    void HideToTray();
    // tick: the one-second poll, the only one that looks at a path that is
    // not a regular file.
    void CheckOrderFile(bool complete, bool tick);
    // Whether a version read now must wait for its writer, and for how long;
    // loads it when it may be.
    void SettleAndLoad(const std::string& path, const FileIdentity& id, bool complete, std::optional<xml::FileSnapshot> seen);
    void LoadVersion(const xml::FileSnapshot& file);
    void Wait(int ms);
    // Whether the order file still holds the version last loaded.
    bool StillLoadedVersion();
    // Both loaders on one reading; the loaders' lines go to `log`.
    // `loader` is set to the loader that succeeded.
    bool LoadSnapshot(OrderState& into, const xml::FileSnapshot& file, LogSink& log, const char** loader = nullptr);
    // Logs and journals a load, except a failure already reported for the
    // same version with the same lines (a broken file is retried every
    // second). A load that leads to a launch is journaled after the
    // recorder has started, so that the journal never delays it.
    void ReportLoad(const xml::FileSnapshot& file, bool ok, const char* loader, const OrderFields& fields,
                    const std::vector<std::string>& lines, bool beforeLaunch = false);
    void Loaded(const xml::FileSnapshot& file);
    LaunchOutcome ChooseAndLaunch();
    void Journal(const LaunchOutcome& out);

    Form1Services& s_;
    Form1View& v_;
    OrderState order_;
    FileDate xmlFileDate_ = 0;
    bool launchEnabled_ = false;
    bool exiting_ = false;

    // The version last loaded (or seen at start-up).
    bool haveLoaded_ = false;
    FileIdentity loadedId_;
    std::string loadedBytes_;
    std::string watchedPath_;
    // Found the same kIdentitySettledMs after it was read (at loadedAtMs_).
    bool loadedSettled_ = false;
    std::int64_t loadedAtMs_ = 0;
    // What the notifications reported since that load: an identical copy
    // whose times alone changed is no new order.
    bool contentSinceLoad_ = false;
    bool attributesSinceLoad_ = false;
    // A write was reported, and its writer's close not yet.
    bool writerAtWork_ = false;
    // A writer's close (or a move into place) was seen for this version.
    bool closedByWriter_ = false;
    FileIdentity closedId_;
    // A change waiting for its writer to finish, or to stay the same.
    bool pending_ = false;
    FileIdentity pendingId_;
    std::string pendingBytes_;
    std::int64_t pendingSince_ = 0;
    bool heldLogged_ = false;  // "still held open" said for this wait
    // The path names something that is not a regular file (said once).
    bool notRegular_ = false;
    // The load journaled after the launch it led to.
    std::optional<JournalLoad> loadToJournal_;
    std::vector<std::string> linesToLog_;
    // The last failure logged.
    bool haveFailure_ = false;
    FileIdentity failureId_;
    std::vector<std::string> failureLines_;
};

}  // namespace pvd
