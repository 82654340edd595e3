#include "app/Form1.h"

#include "platform/environment.h"
#include "platform/sha256.h"
#include "settings/registry.h"  // GetFileBaseName

namespace pvd {
namespace {

// The same version with only its change time moved (a chmod, a new owner).
bool OnlyChangeTimeDiffers(const FileIdentity& a, const FileIdentity& b) {
    FileIdentity c = b;
    c.ctimeNs = a.ctimeNs;
    return a == c;
}

// Resume-next: a step that fails is skipped and the next one runs.
template <typename Step>
void Try(Step step) {
    try {
        step();
    } catch (...) {
    }
}

}  // namespace

bool Form1::Form_Load() {
    bool another = false;
    Try([&] { another = s_.AnotherInstanceRunning(); });
    if (another) {
        exiting_ = true;
        v_.Quit();
        return false;
    }
    Try([&] { v_.SetCaption(kCaption); });
    Try([&] { SetLaunchEnabled(false); });
    Try([&] { s_.InitFileControl(); });
    Try([&] { s_.InitFileSystem(); });
    Try([&] { s_.EnsureTempFolder(s_.TempFolder()); });
    Try([&] { s_.SetSettingsAppName("Vantora Recorder"); });
    std::string profile;
    bool haveProfile = false;
    Try([&] {
        profile = GetFileBaseName(s_.GetProfilePathFilename());
        haveProfile = true;
        s_.SetCurrentProfile(profile);
    });
    Try([&] {
        order_ = OrderState{};
        v_.ShowOrderFields(order_.fields);
    });
    // The version present at start-up is the one there before any slower
    // step: whatever is written after this reading is a new order.
    std::string path;
    std::optional<xml::FileSnapshot> atStart;
    Try([&] {
        path = s_.GetXMLFilename();
        atStart = s_.ReadOrderFile(path);
    });
    Try([&] { s_.StartLog(); });
    // After the start of the log, which empties it, so that the log keeps it.
    if (haveProfile) Try([&] { s_.WriteLog("Change profile to " + profile); });
    Try([&] { s_.RecordStart(); });
    Try([&] { v_.SetXMLFileText(path); });
    bool ok = false;
    Try([&] {
        if (!atStart) return;
        const xml::FileSnapshot& file = *atStart;
        OrderState next = order_;
        MemoryLog lines;
        const char* loader = nullptr;
        ok = LoadSnapshot(next, file, lines, &loader);
        ReportLoad(file, ok, loader, next.fields, lines.lines);
        if (ok) order_ = std::move(next);
        v_.ShowOrderFields(order_.fields);
        // What start-up saw counts as loaded, whether or not it loaded:
        // start-up never launches, and only a later version is new.
        watchedPath_ = path;
        haveLoaded_ = file.identity.exists;
        loadedId_ = file.identity;
        loadedBytes_ = file.bytes;
        loadedSettled_ = false;
        loadedAtMs_ = s_.MonotonicMs();
        xmlFileDate_ = file.identity.mtimeNs;
    });
    Try([&] { SetLaunchEnabled(ok); });
    Try([&] { v_.EnableTimer(); });
    Try([&] { v_.AddTrayIcon(kCaption, kTrayCallbackMessage); });
    Try([&] {
        v_.SetWindowStateNormal();
        HideToTray();
    });
    // Leftovers of interrupted creations: last, once the order file is
    // watched, so that a slow sweep delays no order.
    Try([&] { s_.CleanDraftsFolder(); });
    return true;
}

bool Form1::LoadSnapshot(OrderState& into, const xml::FileSnapshot& file, LogSink& log, const char** loader) {
    try {
        // Both loaders see the same bytes: a file caught half rewritten fails
        // both, instead of the generic loader taking the finished version
        // while the fields still hold the previous patient.
        bool ok = s_.LoadLegacyXML(into, file, log);
        if (loader) *loader = "legacy";
        if (!ok) {
            ok = s_.LoadXML(into, file, log);
            if (loader) *loader = "generic";
        }
        return ok;
    } catch (...) {
        return false;  // out of memory on a hostile file, among others: not an order
    }
}

void Form1::ReportLoad(const xml::FileSnapshot& file, bool ok, const char* loader, const OrderFields& fields,
                       const std::vector<std::string>& lines, bool beforeLaunch) {
    const bool repeated = !ok && haveFailure_ && file.identity == failureId_ && lines == failureLines_;
    haveFailure_ = !ok;
    if (!ok) {
        failureId_ = file.identity;
        failureLines_ = lines;
    }
    if (repeated) return;
    // Before a launch, even the log waits until the recorder has started.
    if (beforeLaunch) linesToLog_ = lines;
    else
        for (const std::string& line : lines) s_.WriteLog(line);
    try {
        JournalLoad load;
        load.path = file.path;
        load.identity = file.identity;
        if (file.readable) load.sha256 = Sha256Hex(file.bytes);
        load.ok = ok;
        if (ok) {
            load.loader = loader ? loader : "";
            load.order = fields;
        } else {
            // The loaders' last word says why.
            static constexpr std::string_view kPrefix = "Unable to Load XML ";
            load.reason = lines.empty() ? "not an order" : lines.back();
            if (load.reason.starts_with(kPrefix)) load.reason.erase(0, kPrefix.size());
            else if (load.reason.starts_with("Load XML ")) load.reason = "not an order in a known layout";
        }
        if (beforeLaunch) loadToJournal_ = std::move(load);
        else s_.RecordLoad(load);
    } catch (...) {
    }
}

bool Form1::LoadOrder(const std::string& path) {
    const xml::FileSnapshot file = s_.ReadOrderFile(path);
    MemoryLog lines;
    OrderState next = order_;
    const char* loader = nullptr;
    const bool ok = LoadSnapshot(next, file, lines, &loader);
    // A launch follows a successful load: its journal entry waits for it.
    ReportLoad(file, ok, loader, next.fields, lines.lines, ok);
    if (ok) order_ = std::move(next);
    v_.ShowOrderFields(order_.fields);
    return ok;
}

void Form1::SetOrderFields(const OrderFields& fields) {
    if (fields.txtAccession != order_.fields.txtAccession) order_.accessionGenerated = false;
    order_.fields = fields;
}

void Form1::Timer1_Timer() { CheckOrderFile(false, true); }

void Form1::RecheckOrderFile() { CheckOrderFile(false, false); }

void Form1::OrderFileChanged(const std::vector<FileChange>& changes) {
    // Complete when the last write seen was finished by its writer.
    bool content = false, complete = false;
    for (FileChange c : changes) {
        if (c == FileChange::Attributes) continue;
        content = true;
        complete = c == FileChange::Complete;
        // A write without its close yet means a writer at work; after lost
        // events nobody knows, and the lease and the settle period decide.
        if (c == FileChange::Modified) writerAtWork_ = true;
        else writerAtWork_ = false;
    }
    if (content) contentSinceLoad_ = true;
    else attributesSinceLoad_ = true;
    if (content && !complete) closedByWriter_ = false;  // written again since its close
    CheckOrderFile(complete, false);
}

void Form1::Wait(int ms) {
    pending_ = true;
    v_.ScheduleRecheck(ms);
}

// Finds whether the order file holds a new, complete version, and loads and
// launches it. A version is new when its identity differs from the last one
// loaded (modification time in either direction, change time, size, file
// id) or when its bytes do: after a notification, and at each poll until the
// loaded version is settled.
void Form1::CheckOrderFile(bool complete, bool tick) {
    const std::string path = s_.GetXMLFilename();
    if (path != watchedPath_) {
        watchedPath_ = path;  // the setting names another file: its versions are new
        pending_ = haveLoaded_ = false;
        writerAtWork_ = closedByWriter_ = notRegular_ = false;
    }
    // A device or a pipe under the name is looked at once a poll, never opened.
    if (notRegular_ && !tick) return;
    const FileIdentity id = s_.StatOrderFile(path);
    if (!id.exists) {
        pending_ = notRegular_ = false;  // missing: nothing to load until it is back
        return;
    }
    if (!id.regular) {
        pending_ = false;
        if (!notRegular_) s_.WriteLog("Unable to Load XML " + path + ": not a regular file; looked at again once a second");
        notRegular_ = true;
        return;
    }
    notRegular_ = false;
    if (complete) {
        closedByWriter_ = true;  // a close seen for this very version still counts at a recheck
        closedId_ = id;
    } else if (closedByWriter_ && closedId_ == id) {
        complete = true;
    }
    std::optional<xml::FileSnapshot> seen;
    if (haveLoaded_ && id == loadedId_ && !complete) {
        // The version loaded, by its identity. Until it is settled a rewrite
        // of the same size within one tick of a coarse clock looks the
        // same: the poll compares the bytes.
        const bool waiting = pending_ && pendingId_ == id;  // other bytes seen under it already
        if (!waiting && (loadedSettled_ || !tick)) {
            pending_ = false;
            return;
        }
        if (!waiting) seen = s_.ReadOrderFile(path);
        if (seen && !seen->readable) return;
        if (seen && seen->identity == loadedId_ && seen->bytes == loadedBytes_) {
            loadedSettled_ = seen->stable && s_.MonotonicMs() - loadedAtMs_ >= kIdentitySettledMs;
            pending_ = false;
            return;
        }
    }
    SettleAndLoad(path, id, complete, std::move(seen));
}

void Form1::SettleAndLoad(const std::string& path, const FileIdentity& id, bool complete, std::optional<xml::FileSnapshot> seen) {
    const std::int64_t now = s_.MonotonicMs();
    // The lease is a second witness beside the notifications. A writer
    // reported at work that no longer holds the file has closed it (Windows
    // reports no close).
    const WriterState lease = s_.OrderFileWriter(path);
    if (writerAtWork_ && lease == WriterState::None) {
        writerAtWork_ = false;
        complete = true;
    }
    const bool held = lease == WriterState::Writing || writerAtWork_;
    const int quiet = held ? kMaxWriterWaitMs : complete ? 0 : kSettleMs;
    if (!pending_ || !(pendingId_ == id)) {
        pending_ = false;
        pendingId_ = id;
        pendingSince_ = now;
        pendingBytes_.clear();
        if (quiet > 0) {
            if (!seen) seen = s_.ReadOrderFile(path);
            pendingId_ = seen->identity.exists ? seen->identity : id;
            pendingBytes_ = seen->bytes;
        }
    }
    const std::int64_t elapsed = now - pendingSince_;
    if (elapsed < quiet) {
        if (held && !heldLogged_) {
            s_.WriteLog("The order file " + path + " is still held open by its writer: waiting until it is closed");
            heldLogged_ = true;
        }
        int next = static_cast<int>(quiet - elapsed);
        // Right after a close the kernel may still count its writer for an
        // instant: look again at once, then at the writer's pace.
        if (held) next = std::min(next, complete && elapsed < kWriterPaceMs / 10 ? 2 : kWriterPaceMs);
        return Wait(next);
    }
    const xml::FileSnapshot file = seen && quiet == 0 ? std::move(*seen) : s_.ReadOrderFile(path);
    const bool same = file.identity == pendingId_ && (quiet == 0 || file.bytes == pendingBytes_);
    if (file.readable && (!file.stable || !same)) {
        // Changed while we waited or looked: the wait starts again.
        pending_ = true;
        pendingId_ = file.identity;
        pendingBytes_ = file.bytes;
        pendingSince_ = now;
        return Wait(quiet > 0 ? quiet : kWriterPaceMs);
    }
    LoadVersion(file);
}

void Form1::LoadVersion(const xml::FileSnapshot& file) {
    const bool onlyTimesChanged = attributesSinceLoad_ && !contentSinceLoad_;
    if (file.readable && haveLoaded_ && file.bytes == loadedBytes_ &&
        (file.identity == loadedId_ || onlyTimesChanged || OnlyChangeTimeDiffers(file.identity, loadedId_))) {
        // The same bytes: the same version, only its times changed (a copy
        // that keeps the original times, a touch, a chmod). Nothing to launch.
        return Loaded(file);
    }
    OrderState next = order_;
    MemoryLog lines;
    const char* loader = nullptr;
    const bool ok = LoadSnapshot(next, file, lines, &loader);
    ReportLoad(file, ok, loader, next.fields, lines.lines, ok);
    if (!ok) {
        // Retried at the next tick for as long as this version stays. What
        // the loaders left half done is no order: the window keeps showing
        // the order that a launch by hand would take.
        pending_ = true;
        pendingId_ = file.identity;
        pendingBytes_ = file.bytes;
        return;
    }
    order_ = std::move(next);
    v_.ShowOrderFields(order_.fields);
    Loaded(file);
    SetLaunchEnabled(true);
    if (Launch(true).result == LaunchResult::Superseded) Wait(1);  // on to the newer version
}

void Form1::Loaded(const xml::FileSnapshot& file) {
    haveLoaded_ = true;
    loadedId_ = file.identity;
    loadedBytes_ = file.bytes;
    loadedSettled_ = false;
    loadedAtMs_ = s_.MonotonicMs();
    xmlFileDate_ = file.identity.mtimeNs;
    contentSinceLoad_ = attributesSinceLoad_ = false;
    closedByWriter_ = false;
    pending_ = heldLogged_ = false;
}

bool Form1::StillLoadedVersion() {
    const std::string path = s_.GetXMLFilename();
    if (!haveLoaded_ || path != watchedPath_) return false;
    const FileIdentity id = s_.StatOrderFile(path);
    // Gone is no newer version: the PACS may remove the file once read.
    if (!id.exists || id == loadedId_) return true;
    const xml::FileSnapshot file = s_.ReadOrderFile(path);
    return !file.readable || file.bytes == loadedBytes_;
}

void Form1::LoadNewXMLFile() {
    try {
        std::optional<std::string> chosen =
            v_.ShowOpenDialog("Select XML File", "XML File (*.xml)|*.xml", 4100, s_.GetXMLFilename());
        if (!chosen) return;
        const xml::FileSnapshot file = s_.ReadOrderFile(*chosen);
        OrderState next = order_;
        MemoryLog lines;
        const char* loader = nullptr;
        const bool ok = LoadSnapshot(next, file, lines, &loader);
        ReportLoad(file, ok, loader, next.fields, lines.lines);
        if (!ok) return;
        // Only a remembered choice changes anything: otherwise the next tick
        // would take the old file for a new version and launch it.
        if (!s_.SaveDefaultSetting("XMLDataPath", *chosen)) return;
        // A machine policy names the order file: the choice is kept for the
        // day the policy goes, but the policy's file stays the one watched.
        if (const std::string watched = s_.GetXMLFilename(); watched != *chosen) {
            s_.WriteLog("Not watching " + *chosen + ": the order file is set by machine policy to " + watched);
            return;
        }
        order_ = std::move(next);
        v_.ShowOrderFields(order_.fields);
        watchedPath_ = s_.GetXMLFilename();
        Loaded(file);
        SetLaunchEnabled(true);
        v_.SetXMLFileText(s_.GetXMLFilename());
    } catch (...) {
    }
}

LaunchOutcome Form1::ChooseAndLaunch() {
    const OrderFields& f = order_.fields;
    const std::string drafts = s_.GetDraftsFolder();
    LaunchOutcome out;
    out.path = DictationFileName(drafts, f, 1);
    // Order values name a file inside the drafts folder, never a path
    // elsewhere, nor a name that reads as something else.
    if (!IsSafeNamePart(f.txtMRN) || !IsSafeNamePart(f.txtAccession)) {
        out.result = LaunchResult::Refused;
        out.reason = "the MRN or the accession number holds a character that a file name cannot carry";
        return out;
    }
    const bool generated = order_.accessionGenerated;
    for (int candidate = 1, attempts = 0; candidate <= kMaxNameCandidates && attempts < 2 * kMaxNameCandidates; ++attempts) {
        out.path = DictationFileName(drafts, f, candidate);
        DictationFileInfo info = s_.InspectDictationFile(out.path);
        if (info.kind == DictationFileInfo::Kind::Missing) {
            const CreateResult created = s_.CreateNewFile(out.path, order_, out.reason);
            if (created == CreateResult::Created) {
                out.result = LaunchResult::Created;
                return out;
            }
            if (created == CreateResult::Failed) {
                out.result = LaunchResult::Failed;
                return out;
            }
            // Another launch made it meanwhile: look at what it made.
            info = s_.InspectDictationFile(out.path);
            if (info.kind == DictationFileInfo::Kind::Missing) continue;
        }
        if (info.kind == DictationFileInfo::Kind::Unknown) {
            out.result = LaunchResult::Failed;
            out.reason = "the drafts folder cannot be looked at, or the name is too long";
            return out;
        }
        if (info.kind == DictationFileInfo::Kind::Other) {
            out.result = LaunchResult::Refused;
            out.reason = "something that is not a dictation file is in the way";
            return out;
        }
        if (MadeForOrder(info.fields, order_, generated)) {
            out.result = LaunchResult::Reused;
            return out;
        }
        if (!generated) {
            // A person must look: another patient's file, or this patient's
            // under another name since the PACS renamed them.
            out.result = LaunchResult::Refused;
            out.madeFor = MadeForText(info.fields);
            out.reason = "the dictation file there was made for another order: " + out.madeFor;
            return out;
        }
        ++candidate;  // a generated accession collides with another order's file
    }
    out.result = LaunchResult::Refused;
    out.reason = "no free name for an order without an accession number";
    return out;
}

LaunchOutcome Form1::Launch(bool fromOrderFile) {
    LaunchOutcome out;
    try {
        out = ChooseAndLaunch();
        if (out.result == LaunchResult::Reused || out.result == LaunchResult::Created) {
            // The order file may have moved on while the file was made (a
            // drafts folder that hung): a newer order is launched instead.
            // The file made stays: it is complete and named for its order.
            if (fromOrderFile && !StillLoadedVersion()) out.result = LaunchResult::Superseded;
            else out.recorder = s_.StartVNR(out.path);
        }
    } catch (...) {
        out.result = LaunchResult::Failed;  // out of memory, among others: reported, never a crash
        out.reason = "an unexpected error";
    }
    // After the recorder has started: nothing here delays it.
    for (const std::string& line : linesToLog_) s_.WriteLog(line);
    linesToLog_.clear();
    if (out.result == LaunchResult::Superseded)
        s_.WriteLog("No recorder started for " + out.path + ": the order file holds a newer order");
    const bool ready = out.result == LaunchResult::Reused || out.result == LaunchResult::Created ||
                       out.result == LaunchResult::Superseded;
    if (!ready) s_.WriteLog("Unable to create " + out.path + (out.reason.empty() ? "" : ": " + out.reason));
    const bool recorderFailed = ready && !out.recorder.recorder.empty() && !out.recorder.started;
    if (recorderFailed) s_.WriteLog("Unable to start the recorder " + out.recorder.recorder + ": " + out.recorder.reason);
    Journal(out);
    if (recorderFailed) v_.ShowMessage("Unable to start the recorder " + out.recorder.recorder);
    if (!ready) v_.ShowMessage("Unable to create " + out.path + (out.madeFor.empty() ? "" : "\n" + out.madeFor));
    return out;
}

void Form1::Journal(const LaunchOutcome& out) {
    try {
        if (loadToJournal_) s_.RecordLoad(*loadToJournal_);
        loadToJournal_.reset();
        JournalLaunch launch;
        launch.order = order_.fields;
        launch.dictationPath = out.path;
        static constexpr const char* kOutcomes[] = {"reused", "created", "refused", "failed", "superseded"};
        launch.outcome = kOutcomes[static_cast<int>(out.result)];
        launch.reason = out.reason;
        launch.recorder = out.recorder.recorder;
        launch.recorderStarted = out.recorder.started;
        launch.recorderPid = out.recorder.pid;
        launch.recorderReason = out.recorder.reason;
        s_.RecordLaunch(launch);
    } catch (...) {
    }
}

void Form1::Form_MouseMove(int message) {
    if (message == kTrayDoubleClick) {
        Try([&] { v_.ShowWindow(); });
        Try([&] { v_.RemoveTrayIcon(); });
    } else if (message == kTrayRightButtonUp) {
        Try([&] { v_.PopupFileMenu(); });
    }
}

void Form1::Form_QueryUnload(int& cancel, int unloadMode) {
    if (unloadMode != kQueryUnloadFromUser) return;
    HideToTray();
    v_.AddTrayIcon(kCaption, kTrayCallbackMessage);
    cancel = 1;
}

void Form1::mnuClose_Click() {
    HideToTray();
    v_.AddTrayIcon(kCaption, kTrayCallbackMessage);
}

void Form1::mnuExit_Click() {
    exiting_ = true;
    Try([&] { s_.RecordExit(); });
    int cancel = 0;
    Form_QueryUnload(cancel, kQueryUnloadFromCode);
    v_.RemoveTrayIcon();
    v_.Quit();
}

void Form1::SetLaunchEnabled(bool enabled) {
    launchEnabled_ = enabled;
    v_.SetLaunchEnabled(enabled, enabled);  // mnuLaunch always follows cmdLaunch
}

void Form1::HideToTray() {
    // Without a notification area a hidden window could never be reached again.
    if (v_.TrayAvailable()) {
        v_.HideWindow();
    } else {
        v_.MinimizeWindow();
    }
}

}  // namespace pvd
