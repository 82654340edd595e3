// The XML document component on POSIX, over libxml2.
//
// Order files are untrusted: no DTD or external entity is ever fetched (the
// external entity loader refuses everything), no network access, libxml2's
// own limits bound nesting depth, and the document's own entities are
// expanded by the conversion to our tree, within the document bounds.
#include "platform/xml_document.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <mutex>

namespace pvd::xml {
namespace {

xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
    return nullptr;
}

void SilentError(void*, const char*, ...) {}

void InitLibxml2() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
        xmlSetGenericErrorFunc(nullptr, SilentError);
    });
}

std::string Str(const xmlChar* s) {
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string();
}

// Converts libxml2's tree into ours. Entity references are expanded here,
// not by the parser, so that a small file whose entities multiply into
// millions of nodes is stopped at the bounds instead of filling memory.
class Converter {
public:
    bool run(xmlNodePtr first, NodeList& out, std::string& reason) {
        const bool ok = emit(first, out, 0, 0);
        if (!ok) reason = reason_;
        DropLayoutBlanks(out);
        return ok;
    }

private:
    // Appends the nodes from `first` on to `out`.
    bool emit(xmlNodePtr first, NodeList& out, std::size_t depth, int entityNesting) {
        for (xmlNodePtr n = first; n; n = n->next) {
            if (n->type == XML_ENTITY_REF_NODE) {
                if (!expand(n, out, depth, entityNesting)) return false;
                continue;
            }
            auto node = std::make_unique<Node>();
            switch (n->type) {
            case XML_ELEMENT_NODE:
                if (!TreeBudget::ElementFits(depth, reason_)) return false;
                node->kind = NodeKind::Element;
                node->baseName = Str(n->name);
                node->tagName = (n->ns && n->ns->prefix) ? Str(n->ns->prefix) + ":" + Str(n->name) : Str(n->name);
                if (!emit(n->children, node->childNodes, depth + 1, entityNesting)) return false;
                DropLayoutBlanks(node->childNodes);
                break;
            case XML_TEXT_NODE:
                node->kind = NodeKind::Text;
                node->data = Str(n->content);
                break;
            case XML_CDATA_SECTION_NODE:
                node->kind = NodeKind::CData;
                node->data = Str(n->content);
                break;
            case XML_COMMENT_NODE:
                node->kind = NodeKind::Comment;
                node->data = Str(n->content);
                break;
            case XML_PI_NODE:
                node->kind = NodeKind::ProcessingInstruction;
                node->baseName = node->tagName = Str(n->name);
                node->data = Str(n->content);
                break;
            default:
                continue;  // DTD, declarations
            }
            if (!add(std::move(node), out)) return false;
        }
        return true;
    }

    // The content of an entity of the document's own, in place of the
    // reference. An entity that was never parsed (one declared outside the
    // document, or met first in an attribute) gives its text when it is
    // plain text, and nothing otherwise.
    bool expand(xmlNodePtr ref, NodeList& out, std::size_t depth, int entityNesting) {
        auto* entity = reinterpret_cast<xmlEntityPtr>(ref->children);
        if (!entity || entity->type != XML_ENTITY_DECL) return true;
        if (!TreeBudget::EntityFits(entityNesting, reason_)) return false;
        if (entity->children) return emit(entity->children, out, depth, entityNesting + 1);
        const std::string plain = Str(entity->content);
        if (entity->etype != XML_INTERNAL_GENERAL_ENTITY || plain.empty() || plain.find_first_of("<&") != std::string::npos)
            return true;
        auto node = std::make_unique<Node>();
        node->kind = NodeKind::Text;
        node->data = plain;
        return add(std::move(node), out);
    }

    bool add(std::unique_ptr<Node> node, NodeList& out) { return budget_.Add(std::move(node), out, reason_); }

    TreeBudget budget_;
    std::string reason_;
};

std::string Reason(const xmlError* err) {
    if (!err || !err->message) return "The document could not be parsed";
    std::string msg = err->message;
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
    return msg + " (line " + std::to_string(err->line) + ", column " + std::to_string(err->int2) + ")";
}

struct FreeContext {
    void operator()(xmlParserCtxtPtr c) const { xmlFreeParserCtxt(c); }
};
struct FreeDoc {
    void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
};

class Libxml2Document final : public Document {
protected:
    bool parse(std::string_view bytes, NodeList& out, std::string& reason) override {
        InitLibxml2();
        if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
            reason = "The document is too large";
            return false;
        }
        std::unique_ptr<xmlParserCtxt, FreeContext> ctxt(xmlNewParserCtxt());
        if (!ctxt) {
            reason = "Not enough memory to read the document";
            return false;
        }
        // No NOENT: references to internal entities stay references, and the
        // conversion expands them within the bounds; external ones are never
        // loaded (and reach the refusing loader if anything asks).
        const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOXINCNODE;
        std::unique_ptr<xmlDoc, FreeDoc> doc(
            xmlCtxtReadMemory(ctxt.get(), bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr, options));
        if (!doc || !ctxt->wellFormed) {
            reason = Reason(xmlCtxtGetLastError(ctxt.get()));
            return false;
        }
        return Converter().run(doc->children, out, reason);
    }
};

class Libxml2Factory final : public DocumentFactory {
public:
    std::unique_ptr<Document> create() override { return std::make_unique<Libxml2Document>(); }
};

}  // namespace

DocumentFactory& DefaultDocumentFactory() {
    static Libxml2Factory factory;
    return factory;
}

}  // namespace pvd::xml
