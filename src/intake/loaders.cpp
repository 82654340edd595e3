#include "intake/loaders.h"

#include <algorithm>
#include <cstdio>
#include <new>

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

namespace {

// What the names and values of one order may take in all: far beyond any real
// order, and small enough that a document whose paths multiply (thousands
// of values hundreds of levels deep) is refused instead of filling memory.
constexpr std::size_t kMaxOrderBytes = 16u * 1024u * 1024u;

class Walk {
public:
    Walk(OrderState& order, std::size_t budget) : order_(order), left_(budget) {}

    bool recurse(const std::string& parent_name, const xml::NodeList& childNode) {
        std::string current = parent_name;
        if (!current.empty()) {
            XmlNames& names = order_.xml_names;
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
            if (!spend(current.size())) return false;
            names.Append(current);
        }
        for (const auto& node : childNode) {
            if (!node->childNodes.empty()) {
                std::string child_name = current;
                const std::string local = TrimSpaces(node->baseName);
                if (!local.empty()) child_name += "<" + local + ">";
                if (!recurse(child_name, node->childNodes)) return false;
                continue;
            }
            std::string value = TrimSpaces(node->nodeTypedValue());
            if (current.empty() || value.empty()) continue;
            if (!spend(current.size() + value.size())) return false;
            order_.xml_elements.push_back(field_element{current, std::move(value)});
        }
        return true;
    }

private:
    bool spend(std::size_t bytes) {
        if (bytes > left_) return false;
        left_ -= bytes;
        return true;
    }
    OrderState& order_;
    std::size_t left_;
};

std::size_t OrderBytes(const OrderState& order) {
    std::size_t n = 0;
    for (const auto& e : order.xml_elements) n += e.field_name.size() + e.field_value.size();
    for (const auto& name : order.xml_names.names()) n += name.size();
    return n;
}

}  // namespace

bool RecurseChildNodes(OrderState& order, const std::string& parent_name, const xml::NodeList& childNode) {
    const std::size_t used = OrderBytes(order);
    if (used > kMaxOrderBytes) return false;
    // The walk fills a copy, so that an order beyond the bound changes nothing.
    OrderState walked;
    walked.xml_elements = order.xml_elements;
    walked.xml_names = order.xml_names;
    if (!Walk(walked, kMaxOrderBytes - used).recurse(parent_name, childNode)) return false;
    order.xml_elements = std::move(walked.xml_elements);
    order.xml_names = std::move(walked.xml_names);
    return true;
}

bool LoadXML(OrderState& order, const std::string& path, const IntakeContext& ctx) {
    return LoadXML(order, xml::ReadFileSnapshot(path), ctx);
}

bool LoadXML(OrderState& order, const xml::FileSnapshot& file, const IntakeContext& ctx) {
    try {
        std::unique_ptr<xml::Document> doc = ctx.factory.create();
        if (!doc) return false;
        if (!doc->load(file)) return false;
        // A fresh walk: path suffixes start afresh at every load.
        OrderState walked;
        if (!RecurseChildNodes(walked, "", doc->childNodes())) return false;
        ClearCollection(order.xml_elements);
        ClearXmlNames(order.xml_names);
        order.xml_elements = std::move(walked.xml_elements);
        order.xml_names = std::move(walked.xml_names);
        return true;
    } catch (const std::bad_alloc&) {
        return false;  // memory ran out: not an order, and nothing changed
    }
}

LoadOutcome LoadOrderFile(OrderState& order, const std::string& path, const IntakeContext& ctx) {
    const xml::FileSnapshot file = xml::ReadFileSnapshot(path);
    if (LoadLegacyXML(order, file, ctx)) return {true, LoaderUsed::Legacy};
    return {LoadXML(order, file, ctx), LoaderUsed::Generic};
}

}  // namespace pvd
