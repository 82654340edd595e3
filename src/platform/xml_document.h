// The XML document layer: a small read-only DOM that the loaders and the tree
// walk see. A platform parser fills it (libxml2 on POSIX).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.h"

namespace pvd::xml {

enum class NodeKind { Element, Text, CData, Comment, ProcessingInstruction };

struct Node;
using NodeList = std::vector<std::unique_ptr<Node>>;

struct Node {
    NodeKind kind = NodeKind::Element;
    std::string baseName;  // local name of an element, target of a processing instruction
    std::string tagName;   // element name as written, prefix included
    std::string data;      // character data of text, CDATA, comment and PI nodes
    NodeList childNodes;

    // Text and CDATA of all descendants in document order (the node's own data
    // for a text or CDATA node).
    std::string text() const;
    // The value the walk records: the data of a non-element node, the text of an element.
    std::string nodeTypedValue() const;

private:
    void appendText(std::string& out) const;
};

// The bytes of one order file as read at one moment; both loaders parse the
// same snapshot, so they never see two different versions of a file that
// is being rewritten.
struct FileSnapshot {
    std::string path;
    bool readable = false;
    std::string bytes;
    std::string error;  // why it could not be read
    FileIdentity identity;  // of the version read, taken before reading it
    bool stable = true;     // false when the file changed while it was read
};
FileSnapshot ReadFileSnapshot(const std::string& path);

class Document {
public:
    virtual ~Document() = default;

    // Loads and parses a file. False when it is missing, unreadable, not
    // well-formed or beyond the bounds below (memory running out included);
    // parseErrorReason() then says why and the document is empty.
    bool load(const std::string& path);
    // Parses a snapshot read earlier.
    bool load(const FileSnapshot& file);
    // Parses a document held in memory; `name` appears in error reasons only.
    bool loadBytes(std::string_view bytes);

    const std::string& parseErrorReason() const { return reason_; }
    const NodeList& childNodes() const { return children_; }

    // First element in document order reached by a chain of child names
    // ("A/B/C") from the document; elements in a namespace never match.
    const Node* selectSingleNode(std::string_view path) const;

protected:
    // Fills `out` with the document's top-level nodes, or returns false and
    // sets `reason`. The bytes have passed CheckDocumentBounds; a parser
    // expanding entities must keep the expanded tree within
    // kMaxDocumentNodes, kMaxDocumentDepth and kMaxDocumentTextBytes.
    virtual bool parse(std::string_view bytes, NodeList& out, std::string& reason) = 0;

private:
    NodeList children_;
    std::string reason_;
};

// Creates documents; returns nullptr when the platform's XML component cannot
// be created, which the loaders report as a failed load.
class DocumentFactory {
public:
    virtual ~DocumentFactory() = default;
    virtual std::unique_ptr<Document> create() = 0;
};

// The platform's parser.
DocumentFactory& DefaultDocumentFactory();

// Shared by the platform parsers as they fill the tree.
// Blank text between nodes is layout, not content, and is dropped; blank text
// that is an element's only content is its value and stays.
void DropLayoutBlanks(NodeList& list);
// Adds a node at the end of `out` within the document bounds (entities
// expanded), joining adjacent text pieces into one node; false, with the
// reason, once a bound is passed.
class TreeBudget {
public:
    bool Add(std::unique_ptr<Node> node, NodeList& out, std::string& reason);
    // Whether an element may start at `depth` (0 at the top), and an
    // entity's text be read within `nesting` entities; false, with the
    // reason, when not.
    static bool ElementFits(std::size_t depth, std::string& reason);
    static bool EntityFits(int nesting, std::string& reason);

private:
    std::size_t nodes_ = 0;
    std::size_t text_ = 0;
};

// What one order file may cost. Far beyond any real order, these keep a
// hostile file from holding the program up for seconds or taking hundreds of
// MiB: beyond them the file is not an order, and the reason says which bound
// it passed.
inline constexpr std::size_t kMaxDocumentBytes = 16u * 1024u * 1024u;  // the file, as read
inline constexpr std::size_t kMaxDocumentNodes = 500'000;  // elements, attributes, text pieces, comments, ...
inline constexpr std::size_t kMaxAttributesPerElement = 1000;
inline constexpr std::size_t kMaxDocumentDepth = 256;  // nesting of elements
inline constexpr int kMaxEntityNesting = 40;  // entities within entities
inline constexpr std::size_t kMaxDocumentTextBytes = 16u * 1024u * 1024u;  // character data, entities expanded

// One linear pass over a document's bytes (UTF-8, 8-bit or UTF-16) before any
// parser sees it: false, with the reason, when it holds more nodes, more
// attributes on one element or deeper nesting than the bounds allow. It
// judges only size; whether the document is well-formed is the parser's.
bool CheckDocumentBounds(std::string_view bytes, std::string& reason);

// For a parser that gives references to the document's own entities no
// content: the document with each reference in its character data to a
// general entity that its internal subset declares with a literal value
// replaced by that entity's text, expanded in turn. `out` stays empty when
// the document declares no such entity. False, with the reason, when an
// entity refers to itself, holds unbalanced markup, or the expanded document
// passes the bounds above.
bool ExpandInternalEntities(std::string_view bytes, std::string& out, std::string& reason);

}  // namespace pvd::xml
