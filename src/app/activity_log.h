// The activity log: one time-stamped line per noteworthy event, in a file
// that is opened and closed for every line. Its failures are swallowed.
#pragma once

#include <string>

#include "platform/clock.h"
#include "platform/log_sink.h"

namespace pvd {

// <TEMP>/Vantora/VNRecorder/<executable base name>.log
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
    const Clock& clock_;
};

}  // namespace pvd
