// The XML document layer: encodings, white space, and documents built to hurt.
#include <gtest/gtest.h>

#include "platform/xml_document.h"
#include "test_support.h"

namespace pvd {
namespace {

using test::TempDir;
using test::WriteFile;

std::unique_ptr<xml::Document> Parse(std::string_view bytes) {
    auto doc = xml::DefaultDocumentFactory().create();
    EXPECT_TRUE(doc->loadBytes(bytes)) << doc->parseErrorReason();
    return doc;
}

const xml::Node& Root(const xml::Document& doc) {
    for (const auto& n : doc.childNodes())
        if (n->kind == xml::NodeKind::Element) return *n;
    throw std::runtime_error("no document element");
}

TEST(XmlDocument, DeclaredEncodingsReachTheCoreAsUtf8) {
    const std::string expected = "Jos\xC3\xA9 M\xC3\xBCller";  // José Müller
    // windows-1252 and ISO-8859-1 share these code points; 0x80 is the euro sign in windows-1252 only.
    auto w1252 = Parse("<?xml version=\"1.0\" encoding=\"windows-1252\"?><r>Jos\xE9 M\xFCller \x80</r>");
    EXPECT_EQ(Root(*w1252).text(), expected + " \xE2\x82\xAC");
    auto latin1 = Parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>Jos\xE9 M\xFCller</r>");
    EXPECT_EQ(Root(*latin1).text(), expected);

    std::u16string utf16 = u"\uFEFF<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>Jos\u00E9 M\u00FCller</r>";
    std::string bytes;
    for (char16_t c : utf16) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    auto u16 = Parse(bytes);
    EXPECT_EQ(Root(*u16).text(), expected);
}

TEST(XmlDocument, BlankTextIsDroppedBetweenNodesButKeptAsOnlyContent) {
    auto doc = Parse("<r>\n  <a>\t</a>\n  <b> x </b>\n  <c>\r\n</c>\n</r>");
    const xml::Node& r = Root(*doc);
    ASSERT_EQ(r.childNodes.size(), 3u);
    EXPECT_EQ(r.childNodes[0]->text(), "\t");
    EXPECT_EQ(r.childNodes[1]->text(), " x ");
    EXPECT_EQ(r.childNodes[2]->text(), "\n");  // the parser normalises CR LF to LF
}

TEST(XmlDocument, NodeKindsNamesAndValues) {
    auto doc = Parse("<?xml version=\"1.0\"?><!--top--><p:r xmlns:p=\"urn:x\">a<![CDATA[<b>]]><!--c--><?pi data?><e/></p:r>");
    ASSERT_EQ(doc->childNodes().size(), 2u);  // the XML declaration is not a node here
    EXPECT_EQ(doc->childNodes()[0]->kind, xml::NodeKind::Comment);
    const xml::Node& r = Root(*doc);
    EXPECT_EQ(r.baseName, "r");
    EXPECT_EQ(r.tagName, "p:r");
    ASSERT_EQ(r.childNodes.size(), 5u);
    EXPECT_EQ(r.childNodes[1]->kind, xml::NodeKind::CData);
    EXPECT_EQ(r.childNodes[3]->kind, xml::NodeKind::ProcessingInstruction);
    EXPECT_EQ(r.childNodes[3]->nodeTypedValue(), "data");
    EXPECT_EQ(r.text(), "a<b>");  // text and CDATA, not the comment or the PI
}

TEST(XmlDocument, SelectSingleNodeTakesTheFirstMatchInDocumentOrder) {
    auto doc = Parse("<A><B><X>1</X></B><B><C>2</C></B><B><C>3</C></B></A>");
    const xml::Node* c = doc->selectSingleNode("A/B/C");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->text(), "2");
    EXPECT_EQ(doc->selectSingleNode("A/C"), nullptr);
    EXPECT_EQ(doc->selectSingleNode("a/B/C"), nullptr);  // names match exactly
}

struct BadInput {
    const char* name;
    std::string bytes;
};
void PrintTo(const BadInput& input, std::ostream* os) { *os << input.name; }

class HostileDocument : public testing::TestWithParam<BadInput> {};

TEST_P(HostileDocument, FailsWithAReasonAndAnEmptyDocument) {
    auto doc = xml::DefaultDocumentFactory().create();
    EXPECT_FALSE(doc->loadBytes(GetParam().bytes));
    EXPECT_FALSE(doc->parseErrorReason().empty());
    EXPECT_TRUE(doc->childNodes().empty());
}

constexpr char kGarbage[] = "\x00\xFF\xFE\x01\x02garbage\x7F";

std::string EntityBomb() {
    std::string s = "<?xml version=\"1.0\"?><!DOCTYPE b [<!ENTITY e0 \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\">";
    for (int i = 1; i < 10; ++i) {
        s += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) s += "&e" + std::to_string(i - 1) + ";";
        s += "\">";
    }
    return s + "]><b>&e9;</b>";
}

std::string DeepNesting(int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += "<a>";
    s += "x";
    for (int i = 0; i < depth; ++i) s += "</a>";
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    BadBytes, HostileDocument,
    testing::Values(BadInput{"empty", ""}, BadInput{"garbage", std::string(kGarbage, sizeof kGarbage - 1)},
                    BadInput{"truncated", "<DictationData><New><PatientID>98"},
                    BadInput{"mismatched", "<a><b></a></b>"},
                    BadInput{"two_roots", "<a/><b/>"},
                    BadInput{"utf8_declared_latin1_bytes", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>Jos\xE9</r>"},
                    BadInput{"entity_bomb", EntityBomb()}, BadInput{"too_deep", DeepNesting(5000)}),
    [](const testing::TestParamInfo<BadInput>& info) { return std::string(info.param.name); });

TEST(XmlDocument, ExternalEntitiesAreNeverExpanded) {
    TempDir dir;
    WriteFile(dir / "secret.txt", "TOP-SECRET-CONTENT");
    auto doc = xml::DefaultDocumentFactory().create();
    std::string bytes = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + (dir / "secret.txt") +
                        "\"><!ENTITY y \"inner\">]><r><a>&x;</a><b>&y;</b></r>";
    doc->loadBytes(bytes);  // accepted or refused: either way nothing leaks
    for (const auto& n : doc->childNodes()) EXPECT_EQ(n->text().find("TOP-SECRET"), std::string::npos);
}

TEST(XmlDocument, MissingFileAndParseErrorsNameTheProblem) {
    TempDir dir;
    auto doc = xml::DefaultDocumentFactory().create();
    EXPECT_FALSE(doc->load(dir / "absent.xml"));
    EXPECT_NE(doc->parseErrorReason().find("absent.xml"), std::string::npos);

    WriteFile(dir / "bad.xml", "<a>\n<b>\n</a>");
    EXPECT_FALSE(doc->load(dir / "bad.xml"));
    EXPECT_FALSE(doc->parseErrorReason().empty());
}

TEST(XmlDocument, ParseErrorsGiveTheirLine) {
    auto doc = xml::DefaultDocumentFactory().create();
    EXPECT_FALSE(doc->loadBytes("<a>\n<b>\n</a>"));
    EXPECT_NE(doc->parseErrorReason().find("line 3"), std::string::npos) << doc->parseErrorReason();
}

}  // namespace
}  // namespace pvd
