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
    EXPECT_EQ(Root(*Parse("<?xml version=\"1.0\" encoding=\"windows-1252\"?><r>Jos\xE9 M\xFCller \x80</r>")).text(),
              expected + " \xE2\x82\xAC");
    EXPECT_EQ(Root(*Parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>Jos\xE9 M\xFCller</r>")).text(), expected);

    std::string utf16;
    for (char16_t c : std::u16string_view(u"\uFEFF<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>Jos\u00E9 M\u00FCller</r>"))
        utf16 += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    EXPECT_EQ(Root(*Parse(utf16)).text(), expected);
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

TEST(XmlDocument, HostileDocumentsFailWithAReasonAndAnEmptyDocument) {
    static constexpr char kGarbage[] = "\x00\xFF\xFE\x01\x02garbage\x7F";
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE b [<!ENTITY e0 \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\">";
    for (int i = 1; i < 10; ++i) {
        bomb += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) bomb += "&e" + std::to_string(i - 1) + ";";
        bomb += "\">";
    }
    std::string tooDeep = "x";
    for (int i = 0; i < 5000; ++i) tooDeep = "<a>" + tooDeep + "</a>";
    const std::pair<const char*, std::string> inputs[] = {
        {"empty", ""}, {"garbage", std::string(kGarbage, sizeof kGarbage - 1)}, {"truncated", "<DictationData><New><PatientID>98"},
        {"mismatched", "<a><b></a></b>"}, {"two roots", "<a/><b/>"},
        {"UTF-8 declared, Latin-1 bytes", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>Jos\xE9</r>"},
        {"entity bomb", bomb + "]><b>&e9;</b>"}, {"too deep", tooDeep},
    };
    for (const auto& [name, bytes] : inputs) {
        SCOPED_TRACE(name);
        auto doc = xml::DefaultDocumentFactory().create();
        EXPECT_FALSE(doc->loadBytes(bytes));
        EXPECT_FALSE(doc->parseErrorReason().empty());
        EXPECT_TRUE(doc->childNodes().empty());
    }
}

TEST(XmlDocument, ExternalEntitiesAreNeverExpanded) {
    TempDir dir;
    WriteFile(dir / "secret.txt", "TOP-SECRET-CONTENT");
    auto doc = xml::DefaultDocumentFactory().create();
    std::string bytes = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + (dir / "secret.txt") +
                        "\"><!ENTITY y \"inner\">]><r><a>&x;</a><b>&y;</b></r>";
    doc->loadBytes(bytes);  // accepted or refused: either way nothing leaks
    for (const auto& n : doc->childNodes()) EXPECT_EQ(n->text().find("TOP-SECRET"), std::string::npos);
}

TEST(XmlDocument, ParseErrorsGiveTheirLine) {
    auto doc = xml::DefaultDocumentFactory().create();
    EXPECT_FALSE(doc->loadBytes("<a>\n<b>\n</a>"));
    EXPECT_NE(doc->parseErrorReason().find("line 3"), std::string::npos) << doc->parseErrorReason();
}

}  // namespace
}  // namespace pvd
