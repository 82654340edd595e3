#include "intake/loaders.h"

#include <cstdio>

#include "platform/text.h"

namespace pvd {

std::string GetAccessionText(const Clock& clock) {
    const LocalTime t = ToLocalTime(clock.now());
    char buf[32];
    std::snprintf(buf, sizeof buf, "T%02d%02d%02d_%02d%02d", t.year % 100, t.month, t.day, t.hour, t.minute);
    return buf;
}

bool LoadLegacyXML(OrderState& order, const std::string& path, const IntakeContext& ctx) {
    return LoadLegacyXML(order, xml::ReadFileSnapshot(path), ctx);
}

bool LoadLegacyXML(OrderState& order, const xml::FileSnapshot& file, const IntakeContext& ctx) {
    std::unique_ptr<xml::Document> doc = ctx.factory.create();
    if (!doc) return false;
    ctx.log.WriteLog("Load XML " + file.path);
    if (!doc->load(file)) {
        ctx.log.WriteLog("Unable to Load XML " + doc->parseErrorReason());
        return false;
    }
    if (!ClearCollection(order.xml_elements)) ctx.log.WriteLog("Unable to erase xml Elements");

    OrderFields& f = order.fields;
    f = OrderFields{};
    auto textOf = [&](const char* p, std::string& target) {
        if (const xml::Node* n = doc->selectSingleNode(p)) target = n->text();
    };
    textOf("DictationData/New/PatientID", f.txtMRN);
    textOf("DictationData/New/AccessionNumber", f.txtAccession);
    if (TrimSpaces(f.txtAccession).empty()) f.txtAccession = GetAccessionText(ctx.clock);
    textOf("DictationData/New/StudyDescription", f.txtStudy);
    textOf("DictationData/New/PatientName", f.txtPatient);
    textOf("DictationData/New/UserID", f.txtUserID);

    const xml::Node* block = doc->selectSingleNode("DictationData/New");
    if (!block) return false;
    for (const auto& child : block->childNodes) {
        if (child->kind != xml::NodeKind::Element) return false;
        order.xml_elements.push_back(field_element{"XML_" + child->tagName, child->text()});
    }
    return true;
}

void RecurseChildNodes(OrderState& order, const std::string& parent_name, const xml::NodeList& childNode) {
    std::string current = parent_name;
    if (!current.empty()) {
        XmlNames& names = order.xml_names;
        if (names.NameExists(current)) {
            const std::string base = current.substr(0, current.size() - 1);
            int& hint = names.SuffixHint(base);
            int counter = hint;
            do {
                ++counter;
                current = base + "_" + std::to_string(counter) + ">";
            } while (names.NameExists(current));
            hint = counter;
        }
        names.Append(current);
    }
    for (const auto& node : childNode) {
        if (!node->childNodes.empty()) {
            std::string child_name = current;
            const std::string local = TrimSpaces(node->baseName);
            if (!local.empty()) child_name += "<" + local + ">";
            RecurseChildNodes(order, child_name, node->childNodes);
            continue;
        }
        const std::string value = TrimSpaces(node->nodeTypedValue());
        if (!current.empty() && !value.empty()) order.xml_elements.push_back(field_element{current, value});
    }
}

bool LoadXML(OrderState& order, const std::string& path, const IntakeContext& ctx) {
    return LoadXML(order, xml::ReadFileSnapshot(path), ctx);
}

bool LoadXML(OrderState& order, const xml::FileSnapshot& file, const IntakeContext& ctx) {
    std::unique_ptr<xml::Document> doc = ctx.factory.create();
    if (!doc) return false;
    if (!doc->load(file)) return false;
    ClearCollection(order.xml_elements);
    ClearXmlNames(order.xml_names);
    RecurseChildNodes(order, "", doc->childNodes());
    return true;
}

LoadOutcome LoadOrderFile(OrderState& order, const std::string& path, const IntakeContext& ctx) {
    const xml::FileSnapshot file = xml::ReadFileSnapshot(path);
    if (LoadLegacyXML(order, file, ctx)) return {true, LoaderUsed::Legacy};
    return {LoadXML(order, file, ctx), LoaderUsed::Generic};
}

}  // namespace pvd
