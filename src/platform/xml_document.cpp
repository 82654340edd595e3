#include "platform/xml_document.h"

#include <new>
#include <stdexcept>

#include "platform/file_io.h"
#include "platform/xml_units.h"

namespace pvd::xml {

namespace {

class BoundsScan {
public:
    // `expanded`: the bytes are a document with its entities expanded, whose
    // lines are no longer the file's.
    BoundsScan(std::string_view bytes, bool expanded) : u_(bytes), expanded_(expanded) {}

    bool run(std::string& reason) {
        const std::size_t n = u_.size();
        while (i_ < n) {
            if (u_[i_] != '<') {
                text();
            } else if (at("<!--")) {
                skipPast(4, "-->");
                ++nodes_;
            } else if (at("<![CDATA[")) {
                skipPast(9, "]]>");
                ++nodes_;
            } else if (at("<?")) {
                skipPast(2, "?>");
                ++nodes_;
            } else if (at("<!")) {
                declaration();
            } else if (at("</")) {
                skipPast(2, ">");
                if (depth_ > 0) --depth_;
            } else if (!startTag(reason)) {
                return false;
            }
            if (nodes_ > kMaxDocumentNodes)
                return fail(reason, "The document holds more than " + std::to_string(kMaxDocumentNodes) + " nodes");
        }
        return true;
    }

private:
    bool fail(std::string& reason, const std::string& what) const {
        reason = what + (expanded_ ? " once its entities are expanded" : " (line " + std::to_string(line_) + ")");
        return false;
    }
    bool at(std::string_view s) const {
        for (std::size_t k = 0; k < s.size(); ++k)
            if (i_ + k >= u_.size() || u_[i_ + k] != static_cast<unsigned char>(s[k])) return false;
        return true;
    }
    void step() {
        if (u_[i_] == '\n') ++line_;
        ++i_;
    }
    // Moves past `skip` units, then past the next `end`, or to the end.
    void skipPast(std::size_t skip, std::string_view end) {
        i_ += skip;
        while (i_ < u_.size() && !at(end)) step();
        i_ = std::min(u_.size(), i_ + end.size());
    }
    void skipQuoted() {
        const unsigned quote = u_[i_];
        step();
        while (i_ < u_.size() && u_[i_] != quote) step();
        if (i_ < u_.size()) ++i_;
    }
    bool isNameStart(unsigned c) const { return c == '_' || c == ':' || (c | 0x20) - 'a' < 26 || c >= 0x80; }

    // A piece of character data is a node; so is each reference to an entity
    // of the document's own, and the text after it.
    void text() {
        ++nodes_;
        while (i_ < u_.size() && u_[i_] != '<') {
            if (u_[i_] == '&' && i_ + 1 < u_.size() && isNameStart(u_[i_ + 1]) && !at("&lt;") && !at("&gt;") && !at("&amp;") &&
                !at("&apos;") && !at("&quot;"))
                nodes_ += 2;
            step();
        }
    }
    // <!DOCTYPE ...> with its internal subset: declarations are not nodes.
    void declaration() {
        int brackets = 0;
        i_ += 2;
        while (i_ < u_.size()) {
            const unsigned c = u_[i_];
            if (c == '"' || c == '\'') {
                skipQuoted();
                continue;
            }
            if (at("<!--")) {
                skipPast(4, "-->");
                continue;
            }
            if (c == '[') ++brackets;
            if (c == ']') --brackets;
            if (c == '>' && brackets <= 0) {
                ++i_;
                return;
            }
            step();
        }
    }
    bool startTag(std::string& reason) {
        const std::size_t tagLine = line_;
        std::size_t attributes = 0;
        step();
        while (i_ < u_.size() && u_[i_] != '>') {
            const unsigned c = u_[i_];
            if (c == '"' || c == '\'') {
                skipQuoted();
                continue;
            }
            if (c == '=' && ++attributes > kMaxAttributesPerElement) {
                line_ = tagLine;
                return fail(reason, "An element holds more than " + std::to_string(kMaxAttributesPerElement) + " attributes");
            }
            step();
        }
        const bool empty = i_ < u_.size() && i_ > 0 && u_[i_ - 1] == '/';
        if (i_ < u_.size()) ++i_;
        nodes_ += 1 + attributes;
        if (!empty && ++depth_ > kMaxDocumentDepth) {
            line_ = tagLine;
            return fail(reason, "The document is nested deeper than " + std::to_string(kMaxDocumentDepth) + " levels");
        }
        return true;
    }

    detail::Units u_;
    bool expanded_;
    std::size_t i_ = 0, nodes_ = 0, depth_ = 0, line_ = 1;
};

}  // namespace

bool CheckDocumentBounds(std::string_view bytes, std::string& reason) { return BoundsScan(bytes, false).run(reason); }

bool detail::CheckExpandedDocumentBounds(std::string_view bytes, std::string& reason) {
    return BoundsScan(bytes, true).run(reason);
}

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
    try {
        f.readable = ReadWholeFile(path, kMaxDocumentBytes, f.bytes, &f.error, &f.identity, &f.stable);
    } catch (const std::bad_alloc&) {
        f = FileSnapshot{};
        f.path = path;
        f.error = "Not enough memory to read " + path;
    }
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
    if (!CheckDocumentBounds(bytes, reason_)) return false;
    try {
        NodeList parsed;
        if (!parse(bytes, parsed, reason_)) {
            if (reason_.empty()) reason_ = "The document could not be parsed";
            return false;
        }
        children_ = std::move(parsed);
    } catch (const std::bad_alloc&) {
        reason_ = "Not enough memory to read the document";
        return false;
    } catch (const std::length_error&) {
        reason_ = "Not enough memory to read the document";
        return false;
    }
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

namespace {
bool OnlyBlanks(const std::string& s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    return true;
}
}  // namespace

void DropLayoutBlanks(NodeList& list) {
    if (list.size() > 1) {
        std::erase_if(list, [](const std::unique_ptr<Node>& n) { return n->kind == NodeKind::Text && OnlyBlanks(n->data); });
    }
}

bool TreeBudget::ElementFits(std::size_t depth, std::string& reason) {
    if (depth + 1 <= kMaxDocumentDepth) return true;
    reason = "The document is nested deeper than " + std::to_string(kMaxDocumentDepth) + " levels";
    return false;
}

bool TreeBudget::EntityFits(int nesting, std::string& reason) {
    if (nesting < kMaxEntityNesting) return true;
    reason = "The document's entities are nested too deeply";
    return false;
}

bool TreeBudget::Add(std::unique_ptr<Node> node, NodeList& out, std::string& reason) {
    if (++nodes_ > kMaxDocumentNodes) {
        reason = "The document holds more than " + std::to_string(kMaxDocumentNodes) + " nodes once its entities are expanded";
        return false;
    }
    text_ += node->data.size() + node->baseName.size();
    if (text_ > kMaxDocumentTextBytes) {
        reason = "The document holds more than " + std::to_string(kMaxDocumentTextBytes) +
                 " bytes of names and text once its entities are expanded";
        return false;
    }
    // Adjacent text pieces (split by an entity or a skipped node) form one node.
    if (node->kind == NodeKind::Text && !out.empty() && out.back()->kind == NodeKind::Text) {
        out.back()->data += node->data;
        return true;
    }
    out.push_back(std::move(node));
    return true;
}

}  // namespace pvd::xml
