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

// Creates the file, still unnamed, with its recording parameters and creation
// date and time, and saves it once. True when that save succeeded; the file
// stays open.
bool MakeNewVnfFile(const std::string& path, const NewFileContext& ctx);

enum class CreateResult {
    Created,  // the complete file is under its name
    Exists,   // something took the name meanwhile; nothing was written
    Failed,
};

// The whole sequence: the order's four fields and one field per element
// record follow, then the final save; only then does the file get its name,
// complete, never replacing anything. A crash at any moment leaves no file
// under the name, or the complete one.
// `why`, when given, gets the step that failed and the system's error text.
CreateResult CreateNewFile(const std::string& path, const OrderState& order, const NewFileContext& ctx,
                           std::string* why = nullptr);

// The fields a new file for this order holds after its creation date and
// time, in order: what a reused file must hold to count as made for it.
VnfFields OrderFieldsToWrite(const OrderState& order);

}  // namespace pvd
