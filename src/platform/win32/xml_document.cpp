// The XML document component on Windows: MSXML 6 (3.0 where 6 is missing)
// through COM.
//
// Order files are untrusted: a document type declaration is accepted but
// nothing external is ever resolved or fetched, and the walk below enforces
// the document bounds itself. White space is kept as written and the shared
// blank-text rule applied, text is computed here, not taken from MSXML's
// trimming `text`.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>
#include <msxml2.h>

#include <cstring>
#include <utility>

#include "platform/win32/text_encoding.h"
#include "platform/xml_document.h"

namespace pvd::xml {
namespace {

// mingw-w64 declares these but defines none of them.
const CLSID kDomDocument60 = {0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
const CLSID kDomDocument30 = {0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
const IID kIXMLDOMDocument2 = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID kIXMLDOMNode = {0x2933bf80, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

// A COM interface pointer released when it goes out of scope.
template <typename T>
class Com {
public:
    Com() = default;
    ~Com() {
        if (p_) p_->Release();
    }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    T** out() {
        if (p_) p_->Release();
        p_ = nullptr;
        return &p_;
    }
    explicit operator bool() const { return p_ != nullptr; }
    void swap(Com& other) noexcept { std::swap(p_, other.p_); }

private:
    T* p_ = nullptr;
};

// A BSTR freed when it goes out of scope.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* s) : b_(SysAllocString(s)) {}
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* out() {
        SysFreeString(b_);
        b_ = nullptr;
        return &b_;
    }
    BSTR get() const { return b_; }
    std::string utf8() const { return b_ ? win32::Utf8(std::wstring_view(b_, SysStringLen(b_))) : std::string(); }

private:
    BSTR b_ = nullptr;
};

class Variant {
public:
    Variant() { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* out() {
        VariantClear(&v_);
        return &v_;
    }
    VARIANT& get() { return v_; }

private:
    VARIANT v_;
};

std::string NodeString(IXMLDOMNode* n, HRESULT (STDMETHODCALLTYPE IXMLDOMNode::*getter)(BSTR*)) {
    Bstr s;
    return SUCCEEDED((n->*getter)(s.out())) ? s.utf8() : std::string();
}

std::string NodeValue(IXMLDOMNode* n) {
    Variant v;
    if (FAILED(n->get_nodeValue(v.out())) || v.get().vt != VT_BSTR || !v.get().bstrVal) return {};
    return win32::Utf8(std::wstring_view(v.get().bstrVal, SysStringLen(v.get().bstrVal)));
}

void SetProperty(IXMLDOMDocument2* doc, const wchar_t* name, VARIANT value) {
    Bstr n(name);
    doc->setProperty(n.get(), value);  // a property that this version lacks is no harm
}

VARIANT BoolVariant(bool b) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

VARIANT IntVariant(int i) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = i;
    return v;
}

// Converts MSXML's tree into ours, child by child (firstChild/nextSibling:
// indexed access is quadratic). Entity references are descended into.
class Converter {
public:
    bool run(IXMLDOMNode* parent, NodeList& out, std::string& reason) {
        const bool ok = emit(parent, out, 0, true);
        if (!ok) reason = reason_;
        DropLayoutBlanks(out);
        return ok;
    }

private:
    bool emit(IXMLDOMNode* parent, NodeList& out, std::size_t depth, bool top, int entityNesting = 0) {
        Com<IXMLDOMNode> child;
        if (FAILED(parent->get_firstChild(child.out()))) return true;
        long index = 0;
        while (child) {
            if (!one(child.get(), out, depth, top, entityNesting)) return false;
            Com<IXMLDOMNode> next;
            if (FAILED(child->get_nextSibling(next.out()))) {
                // Some nodes (Wine's document type) have no sibling link: go on
                // by position in the parent's list, only from there.
                Com<IXMLDOMNodeList> list;
                if (FAILED(parent->get_childNodes(list.out())) || !list) break;
                for (long i = index + 1;; ++i) {
                    Com<IXMLDOMNode> rest;
                    if (list->get_item(i, rest.out()) != S_OK || !rest) return true;
                    if (!one(rest.get(), out, depth, top, entityNesting)) return false;
                }
            }
            child.swap(next);
            ++index;
        }
        return true;
    }

    bool one(IXMLDOMNode* n, NodeList& out, std::size_t depth, bool top, int entityNesting) {
        DOMNodeType type = NODE_INVALID;
        if (FAILED(n->get_nodeType(&type))) return true;
        if (type == NODE_ENTITY_REFERENCE) {
            if (!TreeBudget::EntityFits(entityNesting, reason_)) return false;
            return emit(n, out, depth, top, entityNesting + 1);
        }
        auto node = std::make_unique<Node>();
        switch (type) {
        case NODE_ELEMENT:
            if (!TreeBudget::ElementFits(depth, reason_)) return false;
            node->kind = NodeKind::Element;
            node->baseName = NodeString(n, &IXMLDOMNode::get_baseName);
            node->tagName = NodeString(n, &IXMLDOMNode::get_nodeName);
            if (!emit(n, node->childNodes, depth + 1, false, entityNesting)) return false;
            DropLayoutBlanks(node->childNodes);
            break;
        case NODE_TEXT:
            node->kind = NodeKind::Text;
            node->data = NodeValue(n);
            break;
        case NODE_CDATA_SECTION:
            node->kind = NodeKind::CData;
            node->data = NodeValue(n);
            break;
        case NODE_COMMENT:
            node->kind = NodeKind::Comment;
            node->data = NodeValue(n);
            break;
        case NODE_PROCESSING_INSTRUCTION:
            node->kind = NodeKind::ProcessingInstruction;
            node->baseName = node->tagName = NodeString(n, &IXMLDOMNode::get_nodeName);
            // MSXML keeps the document's xml declaration as a node; it is none.
            if (top && node->baseName == "xml") return true;
            node->data = NodeValue(n);
            break;
        default:
            return true;  // the document type, attributes
        }
        return budget_.Add(std::move(node), out, reason_);
    }

    TreeBudget budget_;
    std::string reason_;
};

class MsxmlDocument final : public Document {
public:
    explicit MsxmlDocument(IXMLDOMDocument2* doc) : doc_(doc) {}
    ~MsxmlDocument() override { doc_->Release(); }
    MsxmlDocument(const MsxmlDocument&) = delete;
    MsxmlDocument& operator=(const MsxmlDocument&) = delete;

protected:
    bool parse(std::string_view bytes, NodeList& out, std::string& reason) override {
        // Wine's MSXML gives references to the document's own entities no
        // content; expanded beforehand, they read the same everywhere.
        std::string expanded;
        if (!ExpandInternalEntities(bytes, expanded, reason)) return false;
        if (!expanded.empty()) bytes = expanded;
        if (bytes.size() > 0x7FFFFFFF) {
            reason = "The document is too large";
            return false;
        }
        // The snapshot's bytes, so that MSXML honours the declared encoding
        // and reads the same version as the loaders.
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        if (!array) {
            reason = "Not enough memory to read the document";
            return false;
        }
        void* data = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
            if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
            SafeArrayUnaccessData(array);
        }
        Variant source;
        source.get().vt = VT_ARRAY | VT_UI1;
        source.get().parray = array;  // freed with the variant
        VARIANT_BOOL loaded = VARIANT_FALSE;
        const HRESULT hr = doc_->load(source.get(), &loaded);
        if (FAILED(hr) || loaded != VARIANT_TRUE) {
            reason = ParseError();
            return false;
        }
        Com<IXMLDOMNode> root;
        if (FAILED(doc_->QueryInterface(kIXMLDOMNode, reinterpret_cast<void**>(root.out())))) {
            reason = "The document could not be read";
            return false;
        }
        return Converter().run(root.get(), out, reason);
    }

private:
    std::string ParseError() {
        Com<IXMLDOMParseError> err;
        Bstr text;
        long line = 0, column = 0;
        if (FAILED(doc_->get_parseError(err.out())) || !err || FAILED(err->get_reason(text.out())))
            return "The document could not be parsed";
        std::string msg = text.utf8();
        while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r' || msg.back() == ' ')) msg.pop_back();
        if (msg.empty()) msg = "The document could not be parsed";
        err->get_line(&line);
        err->get_linepos(&column);
        // Some implementations give no position; then none is claimed.
        if (line > 0) msg += " (line " + std::to_string(line) + ", column " + std::to_string(column) + ")";
        return msg;
    }

    IXMLDOMDocument2* doc_;
};

class MsxmlFactory final : public DocumentFactory {
public:
    std::unique_ptr<Document> create() override {
        // Each thread that parses joins COM once; it stays joined for its life.
        thread_local const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(init) && init != RPC_E_CHANGED_MODE) return nullptr;
        IXMLDOMDocument2* doc = nullptr;
        if (FAILED(CoCreateInstance(kDomDocument60, nullptr, CLSCTX_INPROC_SERVER, kIXMLDOMDocument2, reinterpret_cast<void**>(&doc))) &&
            FAILED(CoCreateInstance(kDomDocument30, nullptr, CLSCTX_INPROC_SERVER, kIXMLDOMDocument2, reinterpret_cast<void**>(&doc))))
            return nullptr;
        doc->put_async(VARIANT_FALSE);
        // Keep element content as written (one tab is a value); the blank-text
        // rule is applied in the walk.
        doc->put_preserveWhiteSpace(VARIANT_TRUE);
        doc->put_validateOnParse(VARIANT_FALSE);
        doc->put_resolveExternals(VARIANT_FALSE);
        // A document type is accepted, never followed.
        SetProperty(doc, L"ProhibitDTD", BoolVariant(false));
        SetProperty(doc, L"AllowDocumentFunction", BoolVariant(false));
        SetProperty(doc, L"AllowXsltScript", BoolVariant(false));
        SetProperty(doc, L"MaxElementDepth", IntVariant(static_cast<int>(kMaxDocumentDepth) + 1));
        return std::make_unique<MsxmlDocument>(doc);
    }
};

}  // namespace

DocumentFactory& DefaultDocumentFactory() {
    static MsxmlFactory factory;
    return factory;
}

}  // namespace pvd::xml
