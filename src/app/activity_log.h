// The activity log: one time-stamped line per noteworthy event, in a file
// that is opened and closed for every line. Its failures are swallowed; a
// log in a place other users control is not written (said once on standard
// error).
#pragma once

#include <string>

#include "platform/clock.h"
#include "platform/log_sink.h"

namespace pvd {

// <TEMP>/Vantora/VNRecorder/<executable base name>.log; "" (no log) when
// there is no temporary folder.
std::string LogFileName();

class ActivityLog final : public LogSink {
public:
    explicit ActivityLog(const Clock& clock = SystemClock()) : clock_(clock) {}

    void WriteLog(const std::string& message) override;
    void WriteVerboseLog(const std::string& message) override;
    // Empties the log unless verbose logging is on, then writes the start lines.
    void StartLog();

private:
    std::string Stamp() const;
    // Appends to the log, or replaces it; only ever in a private folder.
    void Write(const std::string& text, bool truncate);
    void ReportSaveError();
    const Clock& clock_;
    std::string saveError_;          // why the verbose check could not store its date
    std::string reportedSaveError_;  // the last reason written to the log
    bool toldUnsafe_ = false;        // standard error has heard that the log is off
};

}  // namespace pvd
