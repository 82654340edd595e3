#include "app/activity_log.h"

#include <iostream>
#include <sstream>

#include "platform/environment.h"
#include "platform/file_io.h"
#include "settings/EnvironmentFunction.h"
#include "settings/systemRegKeys.h"
#include "version.h"

namespace pvd {

std::string LogFileName() {
    const std::string folder = ProgramTempFolder();
    return folder.empty() ? std::string() : folder + kPathSeparator + ExecutableBaseName() + ".log";
}

// The user's short date and long time, as the locale writes them.
std::string ActivityLog::Stamp() const { return FormatLocalTime(clock_.now(), "%x %X"); }

void ActivityLog::Write(const std::string& text, bool truncate) {
    std::string why;
    if (AppendPrivateFile(LogFileName(), text, truncate, &why) != PrivateWrite::Refused) return;
    // A log that another user could read, redirect or empty is not written;
    // the user learns it once, since the log itself cannot say it.
    if (toldUnsafe_) return;
    toldUnsafe_ = true;
    std::cerr << ExecutableBaseName() << ": the activity log is off: " << why << "\n";
}

void ActivityLog::WriteLog(const std::string& message) { Write(Stamp() + " - " + message + "\n", false); }

void ActivityLog::WriteVerboseLog(const std::string& message) {
    const bool verbose = IsVerboseLogOn(clock_, &saveError_);
    ReportSaveError();
    if (verbose) WriteLog(message);
}

void ActivityLog::StartLog() {
    const bool verbose = IsVerboseLogOn(clock_, &saveError_);
    std::ostringstream out;
    out << Stamp() << ' ' << ExecutableBaseName() << " starting\n";
    // The revision is written as a number item: a blank on either side.
    out << "version " << PVD_VERSION_MAJOR << '.' << PVD_VERSION_MINOR << ". " << PVD_VERSION_PATCH << " \n";
    Write(out.str(), !verbose);
    reportedSaveError_.clear();
    ReportSaveError();
}

void ActivityLog::ReportSaveError() {
    // A settings file that could not be read is never written; say so once
    // for each reason, not at every verbose line.
    if (saveError_.empty()) reportedSaveError_.clear();
    if (saveError_.empty() || saveError_ == reportedSaveError_) return;
    reportedSaveError_ = saveError_;
    WriteLog("Unable to save setting VerboseLogDate: " + saveError_);
}

}  // namespace pvd
