#include "intake/loaders.h"

#include <algorithm>
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
    order.accessionGenerated = false;
    // Everything comes from the first order block: values taken from
    // different blocks would mix two patients in one order.
    const xml::Node* block = doc->selectSingleNode("DictationData/New");
    auto textOf = [&](const char* name, std::string& target) {
        if (!block) return;
        for (const auto& child : block->childNodes)
            if (child->kind == xml::NodeKind::Element && child->tagName == name) {
                target = child->text();
                return;
            }
    };
    textOf("PatientID", f.txtMRN);
    textOf("AccessionNumber", f.txtAccession);
    if (TrimSpaces(f.txtAccession).empty()) {
        f.txtAccession = GetAccessionText(ctx.clock);
        order.accessionGenerated = true;
    }
    textOf("StudyDescription", f.txtStudy);
    textOf("PatientName", f.txtPatient);
    textOf("UserID", f.txtUserID);

    if (!block) return false;
    if (const xml::Node* root = doc->selectSingleNode("DictationData")) {
        const auto blocks = std::count_if(root->childNodes.begin(), root->childNodes.end(), [](const auto& n) {
            return n->kind == xml::NodeKind::Element && n->tagName == "New";
        });
        if (blocks > 1)
            ctx.log.WriteLog("Order file " + file.path + " holds " + std::to_string(blocks) + " New blocks; only the first is used");
    }
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
