// Creation of a new dictation file for the loaded order.
#pragma once

#include <string>

#include "format/FileControl.h"
#include "format/VnfDriver.h"
#include "intake/order.h"
#include "platform/clock.h"
#include "platform/log_sink.h"

namespace pvd {

struct NewFileContext {
    VnfDriver& driver;
    const RecordSettings& settings;
    LogSink& log;
    const Clock& clock;
};

// Creates the file with its recording parameters and creation date and time,
// and saves it once. True when the first save succeeded; the file stays open.
bool MakeNewVnfFile(const std::string& path, const NewFileContext& ctx);

// The whole sequence: the order's four fields and one field per element
// record follow, then the final save and the close. True when the final save
// succeeded; a file left incomplete by a failure is removed again.
bool CreateNewFile(const std::string& path, const OrderState& order, const NewFileContext& ctx);

}  // namespace pvd
