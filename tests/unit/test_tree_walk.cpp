// The tree walk and the generic loader: path names, suffixes, and values.
#include <gtest/gtest.h>

#include "intake/loaders.h"
#include "test_support.h"

namespace pvd {
namespace {

using test::TempDir;
using test::WriteFile;

// Loads a document through the generic loader: whether it loaded, and the order it made.
std::pair<bool, OrderState> Walk(std::string_view xml_text) {
    TempDir dir;
    WriteFile(dir / "o.xml", xml_text);
    NullLog log;
    FixedClock clock(LocalTime{2026, 12, 7, 9, 5, 0});
    OrderState order;
    const bool ok = LoadXML(order, dir / "o.xml", IntakeContext{xml::DefaultDocumentFactory(), log, clock});
    return {ok, std::move(order)};
}

using Records = std::vector<field_element>;

TEST(TreeWalk, NamesRecordsByElementPathAndRegistersEveryLevel) {
    const auto [ok, order] = Walk("<DictationData><New><PatientID>123</PatientID><UserID>ab</UserID></New></DictationData>");
    ASSERT_TRUE(ok);
    EXPECT_EQ(order.xml_elements, (Records{{"<DictationData><New><PatientID>", "123"}, {"<DictationData><New><UserID>", "ab"}}));
    EXPECT_EQ(order.xml_names.names(),
              (std::vector<std::string>{"<DictationData>", "<DictationData><New>", "<DictationData><New><PatientID>",
                                        "<DictationData><New><UserID>"}));
}

// Each document and the records that its walk yields, in order.
TEST(TreeWalk, RecordsNamesAndValuesOfEveryShape) {
    const std::pair<const char*, Records> cases[] = {
        // Suffixes belong to their level and are inherited by descendants.
        {"<D><New><P>1</P><P>2</P><P>3</P></New><New><P>4</P></New></D>",
         {{"<D><New><P>", "1"}, {"<D><New><P_1>", "2"}, {"<D><New><P_2>", "3"}, {"<D><New_1><P>", "4"}}},
        // Empty elements take no name and yield nothing; "<D><P>" is given out
        // to the element with spaces (it has a text child) but records nothing.
        {"<D><P/><P>   </P><P></P><P>x</P><Q></Q></D>", {{"<D><P_1>", "x"}}},
        // The second P wants <D><P_1>, which the first element took, so it moves on to <D><P_2>.
        {"<D><P_1>a</P_1><P>b</P><P>c</P></D>", {{"<D><P_1>", "a"}, {"<D><P>", "b"}, {"<D><P_2>", "c"}}},
        {"<D><P>a</P><P>b</P><P_1>c</P_1></D>", {{"<D><P>", "a"}, {"<D><P_1>", "b"}, {"<D><P_1_1>", "c"}}},
        // Mixed content, comments and CDATA record under their element.
        {"<D><E> one <C>mid</C> two <!-- note --><![CDATA[ <raw> ]]></E></D>",
         {{"<D><E>", "one"}, {"<D><E><C>", "mid"}, {"<D><E>", "two"}, {"<D><E>", "note"}, {"<D><E>", "<raw>"}}},
        // Nothing from top-level nodes or attributes.
        {"<?xml version=\"1.0\"?><!-- top --><?app do?><D a=\"attr\"><E b=\"x\">v</E></D><!-- after -->", {{"<D><E>", "v"}}},
        // Only spaces are trimmed; namespace prefixes are dropped.
        {"<p:D xmlns:p=\"urn:x\"><p:E>  a\tb \t </p:E></p:D>", {{"<D><E>", "a\tb \t"}}},
    };
    for (const auto& [xml_text, records] : cases) {
        SCOPED_TRACE(xml_text);
        const auto [ok, order] = Walk(xml_text);
        EXPECT_TRUE(ok);
        EXPECT_EQ(order.xml_elements, records);
    }
}

// Suffixes start afresh at every load; and an order file that cannot be
// parsed is not an order: the previous one stays whole.
TEST(GenericLoader, ReloadsGiveTheSameNamesAndAnUnparsableFileChangesNothing) {
    TempDir dir;
    NullLog log;
    IntakeContext ctx{xml::DefaultDocumentFactory(), log, SystemClock()};
    OrderState order;
    order.fields.txtMRN = "prev";
    WriteFile(dir / "o.xml", "<D><P>1</P><P>2</P></D>");
    const Records loaded{{"<D><P>", "1"}, {"<D><P_1>", "2"}};
    const std::vector<std::string> names{"<D>", "<D><P>", "<D><P_1>"};
    for (int load = 0; load < 2; ++load) {
        ASSERT_TRUE(LoadXML(order, dir / "o.xml", ctx));
        EXPECT_EQ(order.xml_elements, loaded);
        EXPECT_EQ(order.xml_names.names(), names);
    }
    WriteFile(dir / "torn.xml", "<D><P>12");
    EXPECT_FALSE(LoadXML(order, dir / "torn.xml", ctx));
    EXPECT_FALSE(LoadXML(order, dir / "missing.xml", ctx));
    EXPECT_EQ(order.fields.txtMRN, "prev");
    EXPECT_EQ(order.xml_elements, loaded);
    EXPECT_EQ(order.xml_names.names(), names);
}

TEST(GenericLoader, ThousandsOfRepeatedNamesGetConsecutiveSuffixes) {
    std::string doc = "<D>";
    constexpr int kCount = 50000;
    for (int i = 0; i < kCount; ++i) doc += "<R><V>" + std::to_string(i) + "</V></R>";
    doc += "</D>";
    const auto [ok, order] = Walk(doc);
    ASSERT_TRUE(ok);
    ASSERT_EQ(order.xml_elements.size(), static_cast<std::size_t>(kCount));
    EXPECT_EQ(order.xml_elements[0].field_name, "<D><R><V>");
    EXPECT_EQ(order.xml_elements[1].field_name, "<D><R_1><V>");
    EXPECT_EQ(order.xml_elements[kCount - 1].field_name, "<D><R_" + std::to_string(kCount - 1) + "><V>");
    EXPECT_EQ(order.xml_elements[kCount - 1].field_value, std::to_string(kCount - 1));
    EXPECT_EQ(order.xml_names.size(), static_cast<std::size_t>(1 + 2 * kCount));
}

}  // namespace
}  // namespace pvd
