// What one order file may cost: the scan before the parser, entities that
// multiply, the walk's bound on names and values, and memory running out.
// Beyond a bound the file is not an order, and nothing changes.
#include <gtest/gtest.h>

#include <new>

#include "intake/loaders.h"
#include "test_support.h"

namespace pvd {
namespace {

std::string Repeat(std::string_view unit, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += unit;
    return s;
}

std::string Attributes(std::size_t n, const std::string& value = "") {
    std::string s = "<r";
    for (std::size_t i = 0; i < n; ++i) s += " a" + std::to_string(i) + "=\"" + value + "\"";
    return s + "/>";
}

std::string Reason(std::string_view bytes) {
    auto doc = xml::DefaultDocumentFactory().create();
    return doc->loadBytes(bytes) ? std::string() : doc->parseErrorReason();
}

TEST(OrderBounds, TheScanCountsOnlyRealMarkup) {
    std::string reason;
    EXPECT_TRUE(xml::CheckDocumentBounds(Attributes(1000), reason));
    // '=' and '>' inside values, and markup inside comments, CDATA and the
    // DOCTYPE, are no attributes and no elements.
    EXPECT_TRUE(xml::CheckDocumentBounds(Attributes(1000, "x=>y'='"), reason));
    const std::string hidden = "<!DOCTYPE r [<!ENTITY e '<a b=\"1\">'> <!-- ] > -->]><r><!--" + Repeat("<a>", 600000);
    EXPECT_TRUE(xml::CheckDocumentBounds(hidden + "--><![CDATA[<a><a>]]></r>", reason)) << reason;
    for (const auto& [doc, why] : {std::pair{"<x>\n" + Attributes(1001) + "</x>", "An element holds more than 1000 attributes (line 2)"},
                                   {"<r>" + Repeat("<a/>x", 250001) + "</r>", "The document holds more than 500000 nodes (line 1)"},
                                   {Repeat("<a>", 257), "The document is nested deeper than 256 levels (line 1)"}}) {
        SCOPED_TRACE(why);
        EXPECT_FALSE(xml::CheckDocumentBounds(doc, reason));
        EXPECT_EQ(reason, why);
    }

    // UTF-16 is scanned by its 16-bit units, with or without a byte-order mark.
    for (bool bom : {true, false}) {
        std::string wide = bom ? "\xFF\xFE" : "";
        for (char c : Attributes(1001)) wide += std::string{c, '\0'};
        EXPECT_FALSE(xml::CheckDocumentBounds(wide, reason));
        EXPECT_NE(Reason(wide).find("more than 1000 attributes"), std::string::npos);
    }
}

TEST(OrderBounds, EntitiesExpandWithinTheBoundsOnly) {
    // The document's own entities still expand, also into elements.
    auto doc = xml::DefaultDocumentFactory().create();
    ASSERT_TRUE(doc->loadBytes("<!DOCTYPE DictationData [<!ENTITY id \"<PatientID>4&#50;</PatientID>\"><!ENTITY who 'Ann'>]>"
                               "<DictationData><New>&id;<PatientName>Dr &who; Lee</PatientName></New></DictationData>"))
        << doc->parseErrorReason();
    EXPECT_EQ(doc->selectSingleNode("DictationData/New/PatientID")->text(), "42");
    EXPECT_EQ(doc->selectSingleNode("DictationData/New/PatientName")->text(), "Dr Ann Lee");
    ASSERT_EQ(doc->selectSingleNode("DictationData/New/PatientName")->childNodes.size(), 1u);

    // 24 KB that would multiply into 600,000 elements (too shallow for the
    // parser's own guard against entity bombs).
    std::string bomb = "<!DOCTYPE r [<!ENTITY d \"<x>1</x><x>1</x><x>1</x><x>1</x><x>1</x><x>1</x><x>1</x><x>1</x><x>1</x><x>1</x>\">"
                       "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">]><r>";
    bomb += Repeat("&e;", 6000) + "</r>";
    EXPECT_NE(Reason(bomb).find("once its entities are expanded"), std::string::npos) << Reason(bomb);
}

// The expansion done for a parser that leaves entity references empty must
// give the tree the parser here makes of the original.
std::string Tree(const xml::NodeList& list) {
    std::string out;
    for (const auto& n : list) {
        out += "[" + std::to_string(static_cast<int>(n->kind)) + " " + n->tagName + " " + n->data + Tree(n->childNodes) + "]";
    }
    return out;
}

std::string Expanded(std::string_view bytes) {
    std::string out, reason;
    EXPECT_TRUE(xml::ExpandInternalEntities(bytes, out, reason)) << reason;
    return out;
}

TEST(OrderBounds, ExpandedEntitiesGiveTheTreeOfTheOriginal) {
    const std::string docs[] = {
        // character references at declaration, '&' and '<' doubly escaped,
        // nesting, elements, and references left alone in attributes, CDATA
        // and comments
        "<?xml version=\"1.0\"?><!-- x --><!DOCTYPE D [<!ENTITY a \"&#60;b>&#38;#60;&#38;#38;&#x263A;&#13;</b>\">"
        "<!ENTITY c '&a;-&lt;-&a;'><!ENTITY a 'second binding ignored'>]>"
        "<D x=\"&lt;\"><P>1&c;2</P><![CDATA[&c;]]><!--&c;--><?pi &c;?></D>",
        // entities declared by a parameter entity, and a declared "amp"
        "<!DOCTYPE D [<!ENTITY % p \"<!ENTITY who 'Ann'>\"> %p; <!ENTITY amp '&#38;#38;'>]><D>Dr &who; &amp; Co</D>",
        // 8-bit text inside an entity, as the declared encoding reads it
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><!DOCTYPE D [<!ENTITY n \"M\xFCller\">]><D>&n;</D>",
    };
    for (const std::string& d : docs) {
        auto original = xml::DefaultDocumentFactory().create();
        auto expanded = xml::DefaultDocumentFactory().create();
        ASSERT_TRUE(original->loadBytes(d)) << original->parseErrorReason();
        const std::string e = Expanded(d);
        ASSERT_FALSE(e.empty()) << d;
        EXPECT_EQ(e.find("&c;2"), std::string::npos);
        ASSERT_TRUE(expanded->loadBytes(e)) << expanded->parseErrorReason() << "\n" << e;
        EXPECT_EQ(Tree(expanded->childNodes()), Tree(original->childNodes())) << e;
    }
    // UTF-16 keeps its encoding and byte order mark.
    std::string wide = "\xFF\xFE";
    for (char c : std::string("<!DOCTYPE D [<!ENTITY e 'x'>]><D>&e;</D>")) wide += {c, '\0'};
    auto doc = xml::DefaultDocumentFactory().create();
    ASSERT_TRUE(doc->loadBytes(Expanded(wide))) << doc->parseErrorReason();
    EXPECT_EQ(doc->selectSingleNode("D")->text(), "x");

    // Nothing to expand: nothing made.
    std::string out, reason;
    EXPECT_TRUE(xml::ExpandInternalEntities("<!DOCTYPE D SYSTEM \"x.dtd\"><D>&e;</D>", out, reason));
    EXPECT_TRUE(out.empty());
}

TEST(OrderBounds, EntitiesThatCannotBeExpandedAreRefused) {
    auto refused = [](std::string_view doc) {
        std::string out, reason;
        EXPECT_FALSE(xml::ExpandInternalEntities(doc, out, reason)) << doc;
        EXPECT_TRUE(out.empty());
        return reason;
    };
    EXPECT_EQ(refused("<!DOCTYPE D [<!ENTITY a '&b;'><!ENTITY b '&a;'>]><D>&a;</D>"), "An entity of the document refers to itself");
    EXPECT_EQ(refused("<!DOCTYPE D [<!ENTITY a '<x>'>]><D>&a;</x></D>"), "An entity of the document does not hold well-formed content");
    EXPECT_EQ(refused("<!DOCTYPE D [<!ENTITY a '<!--'>]><D>&a;--></D>"), "An entity of the document does not hold well-formed content");
    // Ten levels of ten empty references: no output, but 10^9 references.
    std::string empty = "<!DOCTYPE D [<!ENTITY a0 ''>";
    for (int k = 1; k < 10; ++k) empty += "<!ENTITY a" + std::to_string(k) + " '" + Repeat("&a" + std::to_string(k - 1) + ";", 10) + "'>";
    EXPECT_EQ(refused(empty + "]><D>&a9;</D>"), "The document holds more than 500000 nodes once its entities are expanded");
    const std::string big = "<!DOCTYPE D [<!ENTITY a '" + std::string(100000, 'x') + "'>]><D>" + Repeat("&a;", 200) + "</D>";
    EXPECT_EQ(refused(big), "The document holds more than 16777216 bytes once its entities are expanded");
}

class BoundedLoad : public testing::Test {
protected:
    NullLog log;
    FixedClock clock{LocalTime{2026, 12, 7, 9, 5, 0}};
    IntakeContext ctx{xml::DefaultDocumentFactory(), log, clock};
    OrderState order;
    void SetUp() override {
        order.xml_elements = {{"<Old>", "previous order"}};
        order.xml_names.Append("<Old>");
    }
    bool Load(std::string bytes, const IntakeContext& context) {
        xml::FileSnapshot file;
        file.path = "order.xml";
        file.readable = true;
        file.bytes = std::move(bytes);
        return LoadXML(order, file, context);
    }
    bool Load(std::string bytes) { return Load(std::move(bytes), ctx); }
    void ExpectUnchanged() {
        EXPECT_EQ(order.xml_elements, (std::vector<field_element>{{"<Old>", "previous order"}}));
        EXPECT_EQ(order.xml_names.names(), std::vector<std::string>{"<Old>"});
    }
};

TEST_F(BoundedLoad, PathsThatMultiplyPassTheBoundAndChangeNothing) {
    // 200 levels, then leaves whose paths are each 1.4 KB long: 4,000 of
    // them fit in 16 MiB of names and values, 8,000 do not, though the file
    // is small and well-formed.
    const std::string open = Repeat("<abcde>", 200), close = Repeat("</abcde>", 200), leaves = Repeat("<a>1</a>", 4000);
    EXPECT_FALSE(Load(open + leaves + leaves + close));
    ExpectUnchanged();
    EXPECT_TRUE(Load(open + leaves + close));  // the same shape within the bound
    EXPECT_EQ(order.xml_elements.size(), 4000u);

    // The walk on its own refuses the same way.
    order = OrderState{};
    SetUp();
    auto doc = xml::DefaultDocumentFactory().create();
    ASSERT_TRUE(doc->loadBytes(open + leaves + leaves + close));
    EXPECT_FALSE(RecurseChildNodes(order, "", doc->childNodes()));
    ExpectUnchanged();

    // At the edge: 16 MiB of names and values in all, what the order holds
    // already counted. The records of one small document fit exactly, and
    // with one byte more in the order they do not.
    ASSERT_TRUE(doc->loadBytes("<r><a>1</a></r>"));
    OrderState probe;
    ASSERT_TRUE(RecurseChildNodes(probe, "", doc->childNodes()));
    std::size_t need = 0;
    for (const auto& e : probe.xml_elements) need += e.field_name.size() + e.field_value.size();
    for (const auto& n : probe.xml_names.names()) need += n.size();
    for (const std::size_t extra : {0u, 1u}) {
        OrderState full;
        full.xml_elements = {{"", std::string(16u * 1024u * 1024u - need + extra, 'v')}};
        EXPECT_EQ(RecurseChildNodes(full, "", doc->childNodes()), extra == 0) << extra;
    }
}

// A parser that runs out of memory.
class StarvedDocument final : public xml::Document {
protected:
    bool parse(std::string_view, xml::NodeList&, std::string&) override { throw std::bad_alloc(); }
};
class StarvedFactory final : public xml::DocumentFactory {
public:
    std::unique_ptr<xml::Document> create() override { return std::make_unique<StarvedDocument>(); }
};

TEST_F(BoundedLoad, MemoryRunningOutIsAFailedLoad) {
    StarvedFactory starved;
    auto doc = starved.create();
    EXPECT_FALSE(doc->loadBytes("<r>1</r>"));
    EXPECT_EQ(doc->parseErrorReason(), "Not enough memory to read the document");
    EXPECT_FALSE(Load("<r>1</r>", IntakeContext{starved, log, clock}));
    ExpectUnchanged();
}

}  // namespace
}  // namespace pvd
