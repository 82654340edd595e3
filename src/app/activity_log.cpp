#include "app/activity_log.h"

#include <fstream>

#include "platform/environment.h"
#include "settings/EnvironmentFunction.h"
#include "settings/systemRegKeys.h"
#include "version.h"

namespace pvd {

std::string LogFileName() {
    return ProgramTempFolder() + kPathSeparator + ExecutableBaseName() + ".log";
}

// The user's short date and long time, as the locale writes them.
std::string ActivityLog::Stamp() const { return FormatLocalTime(clock_.now(), "%x %X"); }

void ActivityLog::WriteLog(const std::string& message) {
    std::ofstream out(LogFileName(), std::ios::binary | std::ios::app);
    if (out) out << Stamp() << " - " << message << '\n';
}

void ActivityLog::WriteVerboseLog(const std::string& message) {
    if (IsVerboseLogOn(clock_)) WriteLog(message);
}

void ActivityLog::StartLog() {
    const auto mode = std::ios::binary | (IsVerboseLogOn(clock_) ? std::ios::app : std::ios::trunc);
    std::ofstream out(LogFileName(), mode);
    if (!out) return;
    out << Stamp() << ' ' << ExecutableBaseName() << " starting\n";
    // The revision is written as a number item: a blank on either side.
    out << "version " << PVD_VERSION_MAJOR << '.' << PVD_VERSION_MINOR << ". " << PVD_VERSION_PATCH << " \n";
}

}  // namespace pvd
