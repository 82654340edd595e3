#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Form1.h"
#include "platform/environment.h"

namespace pvd::test {

// A file of the fake drafts folder, with this platform's separator.
inline std::string DraftsPath(const std::string& name) { return std::string("/d/Drafts") + kPathSeparator + name; }

// Services that record every call and can be told to fail any of them.
class FakeServices : public Form1Services {
public:
    std::vector<std::string> calls;
    std::set<std::string> failing;  // calls that throw
    bool another = false;
    std::string xmlPath = DraftsPath("ridavaruz.xml");
    // Files as a file system keeps them: a full identity (device, file id,
    // size, times in ns at the file system's resolution) and the bytes.
    // The monotonic clock (ms) and the wall clock (ns) move together, and
    // only through Advance.
    struct File {
        FileIdentity id;
        std::string bytes;
    };
    std::map<std::string, File> disk;
    std::int64_t now = 0;
    std::int64_t wallNs = 1'796'000'000'000'000'000;  // late 2026
    std::int64_t resolutionNs = 1;                    // 1'000'000'000 for FAT, exFAT and some shares
    std::uint64_t nextFileId = 1000;
    WriterState writer = WriterState::None;
    void Advance(std::int64_t ms) {
        now += ms;
        wallNs += ms * 1'000'000;
    }
    std::int64_t Stamp() const { return wallNs / resolutionNs * resolutionNs; }
    // A writer rewriting in place: same file id, new size and times. A
    // writer that does not truncate leaves the old tail beyond its bytes.
    void Write(const std::string& p, const std::string& bytes, bool truncate = true) {
        File& f = disk[p];
        if (!f.id.exists) f.id = {true, true, 7, nextFileId++, 0, 0, 0};
        if (truncate || bytes.size() >= f.bytes.size()) f.bytes = bytes;
        else f.bytes.replace(0, bytes.size(), bytes);
        f.id.size = static_cast<std::int64_t>(f.bytes.size());
        f.id.mtimeNs = f.id.ctimeNs = Stamp();
    }
    // A writer that moves a finished version into place: a new file id.
    void Replace(const std::string& p, const std::string& bytes) {
        disk.erase(p);
        Write(p, bytes);
    }
    void SetModified(const std::string& p, std::int64_t mtimeNs) {  // touch -d, a copy that keeps its times
        disk[p].id.mtimeNs = mtimeNs;
        disk[p].id.ctimeNs = Stamp();
    }
    void Chmod(const std::string& p) { disk[p].id.ctimeNs = Stamp(); }
    std::map<std::string, std::string> settings;
    bool saveOk = true;
    std::map<std::string, DictationFileInfo> files;  // the drafts folder
    bool legacyOk = true, genericOk = true;
    OrderFields legacyFields{"987", "A678", "CT", "Doe", "u"};
    bool legacyGenerated = false;
    CreateResult createResult = CreateResult::Created;
    std::function<void(const std::string&)> beforeCreate;  // runs inside every creation
    RecorderStart recorder{"/r/rec", true, 42, ""};

    std::function<void(const std::string&)> onCall;  // runs at every call, as the world goes on meanwhile
    void Call(const std::string& name) {
        calls.push_back(name);
        if (onCall) onCall(name);
        if (failing.contains(name)) throw std::runtime_error(name);
    }
    bool Called(const std::string& name) const { return std::find(calls.begin(), calls.end(), name) != calls.end(); }
    std::size_t Index(const std::string& name) const { return std::find(calls.begin(), calls.end(), name) - calls.begin(); }
    int Count(const std::string& name) const { return static_cast<int>(std::count(calls.begin(), calls.end(), name)); }

    bool AnotherInstanceRunning() override { return Call("instance"), another; }
    void InitFileControl() override { Call("filecontrol"); }
    void InitFileSystem() override { Call("filesystem"); }
    std::string TempFolder() override { return Call("temp"), "/t/Vantora/VNRecorder"; }
    void EnsureTempFolder(const std::string&) override { Call("ensure-temp"); }
    void SetSettingsAppName(const std::string& n) override { Call("appname:" + n); }
    std::string GetProfilePathFilename() override { return Call("profile-path"), std::string("/p") + kPathSeparator + "recorder.pfl"; }
    void SetCurrentProfile(const std::string& n) override { Call("profile:" + n); }
    void WriteLog(const std::string& m) override { Call("log:" + m); }
    void StartLog() override { Call("startlog"); }
    std::optional<std::string> policyXmlPath;  // a machine policy that names the order file
    std::string GetXMLFilename() override { return Call("xmlname"), policyXmlPath.value_or(xmlPath); }
    std::function<void()> duringLoad;  // runs inside every load, as a rewrite would
    std::set<std::string> unreadable;  // held by a writer that shares no reading (Windows)
    int reads = 0;
    std::vector<std::string> legacySaw, genericSaw;  // the bytes each loader was given
    xml::FileSnapshot ReadOrderFile(const std::string& p) override {
        Call("read:" + p);
        ++reads;
        xml::FileSnapshot f;
        f.path = p;
        f.identity = StatOrderFile(p);
        f.readable = f.identity.exists && f.identity.regular && !unreadable.contains(p);
        if (f.readable) f.bytes = disk[p].bytes;
        return f;
    }
    bool LoadLegacyXML(OrderState& o, const xml::FileSnapshot& f, LogSink& log) override {
        legacySaw.push_back(f.bytes);
        Call("legacy:" + f.path);
        log.WriteLog("Load XML " + f.path);
        if (duringLoad) duringLoad();
        if (!f.readable) log.WriteLog("Unable to Load XML missing");
        if (!legacyOk && f.readable) o.fields = {};  // as a file that parses but holds no order leaves them
        if (legacyOk && f.readable) {
            o.fields = legacyFields;
            o.accessionGenerated = legacyGenerated;
        }
        return legacyOk && f.readable;
    }
    bool LoadXML(OrderState& o, const xml::FileSnapshot& f, LogSink&) override {
        genericSaw.push_back(f.bytes);
        Call("generic:" + f.path);
        if (genericOk) o.xml_elements = {{"<X>", "1"}};
        return genericOk;
    }
    FileIdentity StatOrderFile(const std::string& p) override {
        Call("stat:" + p);
        auto it = disk.find(p);
        return it == disk.end() ? FileIdentity{} : it->second.id;
    }
    WriterState OrderFileWriter(const std::string& p) override {
        Call("lease:" + p);
        return writer;
    }
    std::int64_t MonotonicMs() override { return now; }
    bool SaveDefaultSetting(const std::string& k, const std::string& v) override {
        Call("save:" + k);
        if (!saveOk) return false;
        settings[k] = v;
        if (k == "XMLDataPath") xmlPath = v;
        return true;
    }
    std::string GetDraftsFolder() override { return "/d/Drafts"; }
    void CleanDraftsFolder() override { Call("clean"); }
    DictationFileInfo InspectDictationFile(const std::string& p) override {
        auto it = files.find(p);
        return it == files.end() ? DictationFileInfo{} : it->second;
    }
    std::string createWhy;  // the reason a failing creation gives
    CreateResult CreateNewFile(const std::string& p, const OrderState& o, std::string& why) override {
        if (createResult == CreateResult::Failed) why = createWhy;
        Call("create:" + p);
        if (beforeCreate) beforeCreate(p);
        if (createResult == CreateResult::Created) {
            if (files.contains(p)) return CreateResult::Exists;  // never over another file
            DictationFileInfo made{DictationFileInfo::Kind::Dictation, {{"D_Created", "d"}, {"T_Created", "t"}}};
            for (auto& f : OrderFieldsToWrite(o)) made.fields.push_back(f);
            files[p] = made;
        }
        return createResult;
    }
    RecorderStart StartVNR(const std::string& p) override {
        Call("start:" + p);
        return recorder;
    }
    std::vector<JournalLoad> journaledLoads;
    std::vector<JournalLaunch> journaledLaunches;
    void RecordStart() override { Call("journal:start"); }
    void RecordExit() override { Call("journal:exit"); }
    void RecordLoad(const JournalLoad& l) override {
        Call("journal:load");
        journaledLoads.push_back(l);
    }
    void RecordLaunch(const JournalLaunch& l) override {
        Call("journal:launch:" + l.outcome);
        journaledLaunches.push_back(l);
    }
};

}  // namespace pvd::test
