#include "platform/xml_document.h"

#include "platform/file_io.h"


namespace pvd::xml {

void Node::appendText(std::string& out) const {
    switch (kind) {
    case NodeKind::Text:
    case NodeKind::CData:
        out += data;
        break;
    case NodeKind::Element:
        for (const auto& child : childNodes) child->appendText(out);
        break;
    default:
        break;
    }
}

std::string Node::text() const {
    std::string out;
    appendText(out);
    return out;
}

std::string Node::nodeTypedValue() const {
    return kind == NodeKind::Element ? text() : data;
}

FileSnapshot ReadFileSnapshot(const std::string& path) {
    FileSnapshot f;
    f.path = path;
    f.readable = ReadWholeFile(path, kMaxDocumentBytes, f.bytes, &f.error, &f.identity, &f.stable);
    return f;
}

bool Document::load(const std::string& path) { return load(ReadFileSnapshot(path)); }

bool Document::load(const FileSnapshot& file) {
    if (!file.readable) {
        children_.clear();
        reason_ = file.error;
        return false;
    }
    return loadBytes(file.bytes);
}

bool Document::loadBytes(std::string_view bytes) {
    children_.clear();
    reason_.clear();
    NodeList parsed;
    if (!parse(bytes, parsed, reason_)) {
        if (reason_.empty()) reason_ = "The document could not be parsed";
        return false;
    }
    children_ = std::move(parsed);
    return true;
}

const Node* Document::selectSingleNode(std::string_view path) const {
    std::vector<std::string_view> steps;
    while (!path.empty()) {
        auto slash = path.find('/');
        steps.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    if (steps.empty()) return nullptr;

    // Depth-first over matching chains, so the first match in document order wins.
    struct Finder {
        const std::vector<std::string_view>& steps;
        const Node* find(const NodeList& list, std::size_t depth) const {
            for (const auto& node : list) {
                if (node->kind != NodeKind::Element || node->tagName != steps[depth]) continue;
                if (depth + 1 == steps.size()) return node.get();
                if (const Node* hit = find(node->childNodes, depth + 1)) return hit;
            }
            return nullptr;
        }
    };
    return Finder{steps}.find(children_, 0);
}

}  // namespace pvd::xml
