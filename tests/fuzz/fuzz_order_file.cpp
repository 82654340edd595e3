// Both order loaders on arbitrary bytes, as one snapshot of the order file.
#include <cstdint>
#include <cstdlib>
#include <unordered_set>

#include "intake/loaders.h"

using namespace pvd;

namespace {
bool SameTree(const xml::NodeList& a, const xml::NodeList& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i]->kind != b[i]->kind || a[i]->tagName != b[i]->tagName || a[i]->data != b[i]->data ||
            !SameTree(a[i]->childNodes, b[i]->childNodes))
            return false;
    return true;
}

// The document with its entities expanded beforehand (for parsers that leave
// references empty) reads here as the original does.
void CheckExpansion(std::string_view bytes) {
    std::string expanded, why;
    if (!xml::ExpandInternalEntities(bytes, expanded, why)) {
        if (!expanded.empty() || why.empty()) std::abort();
        return;
    }
    if (expanded.empty()) return;
    auto original = xml::DefaultDocumentFactory().create();
    auto copy = xml::DefaultDocumentFactory().create();
    if (original->loadBytes(bytes) && (!copy->loadBytes(expanded) || !SameTree(original->childNodes(), copy->childNodes())))
        std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static NullLog log;
    static FixedClock clock(LocalTime{2026, 12, 31, 23, 59, 0});
    const IntakeContext ctx{xml::DefaultDocumentFactory(), log, clock};
    xml::FileSnapshot file;
    file.path = "order.xml";
    file.readable = true;
    file.bytes.assign(reinterpret_cast<const char*>(data), size);
    CheckExpansion(file.bytes);

    OrderState order;
    order.fields.txtMRN = "previous";
    if (!LoadLegacyXML(order, file, ctx)) {
        const bool generic = LoadXML(order, file, ctx);
        auto doc = xml::DefaultDocumentFactory().create();
        const bool parses = doc->load(file);
        // Bytes that do not parse are never an order, and change no field;
        // a parsed document can still fail the walk's bound on names and values.
        if (generic && !parses) std::abort();
        if (!parses && order.fields.txtMRN != "previous") std::abort();
        // The walk names every value and never gives a name out twice.
        std::unordered_set<std::string> seen;
        for (const auto& n : order.xml_names.names())
            if (!seen.insert(n).second) std::abort();
        for (const auto& e : order.xml_elements)
            if (e.field_name.empty() || e.field_value.empty() || !seen.contains(e.field_name)) std::abort();
    } else if (order.fields.txtAccession.empty()) {
        std::abort();  // the fixed layout always has an accession number, given or stamped
    }
    return 0;
}
