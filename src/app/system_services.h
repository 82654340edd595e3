// Form1's services as the real program provides them.
#pragma once

#include <functional>

#include "app/Form1.h"
#include "app/activity_log.h"
#include "format/VnfDriver.h"
#include "platform/xml_document.h"

namespace pvd {

class SystemServices final : public Form1Services {
public:
    // anotherInstance: the single-instance test of the running program.
    explicit SystemServices(std::function<bool()> anotherInstance = [] { return false; },
                            const Clock& clock = SystemClock(), xml::DocumentFactory& xml = xml::DefaultDocumentFactory())
        : anotherInstance_(std::move(anotherInstance)), clock_(clock), xml_(xml), log_(clock), journal_(log_, clock) {}
    ~SystemServices() override;
    SystemServices(const SystemServices&) = delete;
    SystemServices& operator=(const SystemServices&) = delete;

    bool AnotherInstanceRunning() override { return anotherInstance_(); }
    void InitFileControl() override;
    void InitFileSystem() override;
    std::string TempFolder() override;
    void EnsureTempFolder(const std::string& path) override;
    void SetSettingsAppName(const std::string& name) override;
    std::string GetProfilePathFilename() override;
    void SetCurrentProfile(const std::string& name) override;
    void WriteLog(const std::string& message) override { log_.WriteLog(message); }
    // Starts the log, which then also hears of stored values that cannot be used.
    void StartLog() override;
    std::string GetXMLFilename() override;
    xml::FileSnapshot ReadOrderFile(const std::string& path) override { return xml::ReadFileSnapshot(path); }
    bool LoadLegacyXML(OrderState& order, const xml::FileSnapshot& file, LogSink& log) override;
    bool LoadXML(OrderState& order, const xml::FileSnapshot& file, LogSink& log) override;
    FileIdentity StatOrderFile(const std::string& path) override { return StatFileIdentity(path); }
    WriterState OrderFileWriter(const std::string& path) override { return FileWriterState(path); }
    std::int64_t MonotonicMs() override;
    bool SaveDefaultSetting(const std::string& key, const std::string& value) override;
    std::string GetDraftsFolder() override;
    void CleanDraftsFolder() override;
    DictationFileInfo InspectDictationFile(const std::string& path) override;
    CreateResult CreateNewFile(const std::string& path, const OrderState& order, std::string& why) override;
    RecorderStart StartVNR(const std::string& path) override;
    void RecordStart() override { journal_.Start(); }
    void RecordExit() override { journal_.Exit(); }
    void RecordLoad(const JournalLoad& load) override { journal_.Load(load); }
    void RecordLaunch(const JournalLaunch& launch) override { journal_.Launch(launch); }

    ActivityLog& log() { return log_; }

private:
    std::function<bool()> anotherInstance_;
    const Clock& clock_;
    xml::DocumentFactory& xml_;
    ActivityLog log_;
    Journal journal_;
    VnfDriver driver_;
};

}  // namespace pvd
