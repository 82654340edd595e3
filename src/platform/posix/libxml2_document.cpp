// The XML document component on POSIX, over libxml2.
//
// Order files are untrusted: no DTD or external entity is ever fetched (the
// external entity loader refuses everything), no network access, and
// libxml2's own limits bound entity expansion and nesting depth.
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

bool OnlyBlanks(const std::string& s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    return true;
}

std::string Str(const xmlChar* s) {
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string();
}

void Convert(xmlNodePtr first, NodeList& out) {
    for (xmlNodePtr n = first; n; n = n->next) {
        auto node = std::make_unique<Node>();
        switch (n->type) {
        case XML_ELEMENT_NODE:
            node->kind = NodeKind::Element;
            node->baseName = Str(n->name);
            node->tagName = (n->ns && n->ns->prefix) ? Str(n->ns->prefix) + ":" + Str(n->name) : Str(n->name);
            Convert(n->children, node->childNodes);
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
            continue;  // DTD, declarations, unresolved entity references
        }
        // Adjacent text pieces (split by an entity or a skipped node) form one node.
        if (node->kind == NodeKind::Text && !out.empty() && out.back()->kind == NodeKind::Text) {
            out.back()->data += node->data;
            continue;
        }
        out.push_back(std::move(node));
    }
    // Blank text between nodes is layout, not content; blank text that is an
    // element's only content is its value.
    if (out.size() > 1) {
        std::erase_if(out, [](const std::unique_ptr<Node>& n) {
            return n->kind == NodeKind::Text && OnlyBlanks(n->data);
        });
    }
}

std::string Reason(const xmlError* err) {
    if (!err || !err->message) return "The document could not be parsed";
    std::string msg = err->message;
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
    return msg + " (line " + std::to_string(err->line) + ", column " + std::to_string(err->int2) + ")";
}

class Libxml2Document final : public Document {
protected:
    bool parse(std::string_view bytes, NodeList& out, std::string& reason) override {
        InitLibxml2();
        if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
            reason = "The document is too large";
            return false;
        }
        xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
        if (!ctxt) {
            reason = "Out of memory";
            return false;
        }
        // NOENT: internal entities become text; external ones reach the refusing loader.
        const int options = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                            XML_PARSE_NOCDATA * 0 | XML_PARSE_NOXINCNODE;
        xmlDocPtr doc = xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr, options);
        bool ok = doc != nullptr && ctxt->wellFormed;
        if (!ok) {
            reason = Reason(xmlCtxtGetLastError(ctxt));
        } else {
            Convert(doc->children, out);
        }
        if (doc) xmlFreeDoc(doc);
        xmlFreeParserCtxt(ctxt);
        return ok;
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
