// The two order-file loaders and the tree walk behind the generic one.
#pragma once

#include <string>

#include "intake/order.h"
#include "platform/clock.h"
#include "platform/log_sink.h"
#include "platform/xml_document.h"

namespace pvd {

struct IntakeContext {
    xml::DocumentFactory& factory;
    LogSink& log;
    const Clock& clock;
};

// Reads the fixed DictationData/New layout into the order fields and
// xml_elements. False when the file does not parse or is not in that layout.
bool LoadLegacyXML(OrderState& order, const std::string& path, const IntakeContext& ctx);
bool LoadLegacyXML(OrderState& order, const xml::FileSnapshot& file, const IntakeContext& ctx);

// Reads any XML document into xml_elements through the tree walk. False when
// the document object cannot be created, the file cannot be parsed, or the
// order would pass its bounds (memory running out included); a failed load
// changes nothing, so a torn rewrite never passes for an order.
bool LoadXML(OrderState& order, const std::string& path, const IntakeContext& ctx);
bool LoadXML(OrderState& order, const xml::FileSnapshot& file, const IntakeContext& ctx);

// Appends one record per non-blank text under the document element, named by
// the element path with uniqueness suffixes. False, and the order unchanged,
// when its names and values would pass 16 MiB in all.
bool RecurseChildNodes(OrderState& order, const std::string& parent_name, const xml::NodeList& childNode);

// "T" yymmdd "_" hhmm, from one reading of the clock.
std::string GetAccessionText(const Clock& clock);

enum class LoaderUsed { Legacy, Generic };
struct LoadOutcome {
    bool ok = false;
    LoaderUsed loader = LoaderUsed::Generic;
};

// The load that start-up, the watch, the file dialog and the command line all
// use: the fixed layout first, the generic loader only when that fails, both
// on one reading of the file.
LoadOutcome LoadOrderFile(OrderState& order, const std::string& path, const IntakeContext& ctx);

}  // namespace pvd
