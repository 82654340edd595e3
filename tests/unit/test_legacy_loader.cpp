// The fixed-layout loader, its failure table, and the substitute accession number.
#include <gtest/gtest.h>

#include <algorithm>

#include "intake/loaders.h"
#include "test_support.h"

namespace pvd {
namespace {

using test::TempDir;
using test::WriteFile;
using Records = std::vector<field_element>;

class NoDocumentFactory final : public xml::DocumentFactory {
public:
    std::unique_ptr<xml::Document> create() override { return nullptr; }
};

class LegacyLoader : public testing::Test {
protected:
    TempDir dir;
    MemoryLog log;
    FixedClock clock{LocalTime{2026, 12, 7, 9, 5, 30}};
    IntakeContext ctx{xml::DefaultDocumentFactory(), log, clock};
    OrderState order;

    bool Load(std::string_view xml_text) {
        WriteFile(dir / "o.xml", xml_text);
        return LoadLegacyXML(order, dir / "o.xml", ctx);
    }
    // An order loaded before, which a failed load must leave whole.
    const OrderFields previous{"old-mrn", "old-acc", "old-study", "old-patient", "old-user"};
    void SeedPreviousOrder() {
        order.fields = previous;
        order.xml_elements = {{"XML_PatientID", "old-mrn"}};
    }
    void ExpectPreviousOrder() {
        EXPECT_EQ(order.fields, previous);
        EXPECT_EQ(order.xml_elements, (Records{{"XML_PatientID", "old-mrn"}}));
    }
};

TEST_F(LegacyLoader, FullOrderFillsEveryFieldAndRecordsEveryChildInFileOrder) {
    SeedPreviousOrder();  // none of it may stay beside the new order's
    ASSERT_TRUE(Load("<DictationData><New><UserID>u1</UserID><PatientID> 987 </PatientID><AccessionNumber>A678</AccessionNumber>"
                     "<StudyDescription>CT</StudyDescription><PatientName>Doe^Jane</PatientName><Extra a=\"x\"><In>y</In>z</Extra>"
                     "<Extra/></New></DictationData>"));
    EXPECT_EQ(order.fields, (OrderFields{" 987 ", "A678", "CT", "Doe^Jane", "u1"}));
    EXPECT_EQ(order.xml_elements, (Records{{"XML_UserID", "u1"}, {"XML_PatientID", " 987 "}, {"XML_AccessionNumber", "A678"},
                                           {"XML_StudyDescription", "CT"}, {"XML_PatientName", "Doe^Jane"}, {"XML_Extra", "yz"},
                                           {"XML_Extra", ""}}));
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Load XML " + (dir / "o.xml")}));
}

TEST_F(LegacyLoader, EverythingComesFromTheFirstOrderBlock) {
    // Values from two blocks would mix two patients in one order.
    ASSERT_TRUE(Load("<DictationData><New><PatientID>1</PatientID><PatientName>One</PatientName></New>"
                     "<New><PatientID>2</PatientID><AccessionNumber>A2</AccessionNumber><StudyDescription>S2</StudyDescription></New>"
                     "<New/></DictationData>"));
    EXPECT_EQ(order.fields, (OrderFields{"1", "T261207_0905", "", "One", ""}));
    EXPECT_TRUE(order.accessionGenerated);
    EXPECT_EQ(order.xml_elements, (Records{{"XML_PatientID", "1"}, {"XML_PatientName", "One"}}));
    EXPECT_EQ(std::count_if(log.lines.begin(), log.lines.end(), [](const std::string& l) { return l.find("3 New blocks") != std::string::npos; }), 1);
}

TEST_F(LegacyLoader, BlankOrMissingAccessionGetsAStampButATabStays) {
    for (const char* acc : {"", "<AccessionNumber/>", "<AccessionNumber>   </AccessionNumber>"}) {
        ASSERT_TRUE(Load(std::string("<DictationData><New>") + acc + "</New></DictationData>"));
        EXPECT_EQ(order.fields.txtAccession, "T261207_0905") << acc;
    }
    ASSERT_TRUE(Load("<DictationData><New><AccessionNumber>\t</AccessionNumber></New></DictationData>"));
    EXPECT_EQ(order.fields.txtAccession, "\t");
}

TEST_F(LegacyLoader, EmptyOrderBlockLoadsWithOnlyTheStamp) {
    SeedPreviousOrder();
    ASSERT_TRUE(Load("<DictationData><New/></DictationData>"));
    EXPECT_EQ(order.fields, (OrderFields{"", "T261207_0905", "", "", ""}));
    EXPECT_TRUE(order.xml_elements.empty());
}

TEST_F(LegacyLoader, OtherLayoutFailsAfterClearingTheFields) {
    SeedPreviousOrder();
    EXPECT_FALSE(Load("<Order><New><PatientID>1</PatientID></New></Order>"));
    EXPECT_EQ(order.fields, (OrderFields{"", "T261207_0905", "", "", ""}));
    EXPECT_TRUE(order.xml_elements.empty());
    EXPECT_EQ(log.lines.size(), 1u);  // only "Load XML "
}

TEST_F(LegacyLoader, UnparsableFileChangesNothingAndLogsTheReason) {
    SeedPreviousOrder();
    EXPECT_FALSE(Load("<DictationData><New><PatientID>9"));
    EXPECT_FALSE(LoadLegacyXML(order, dir / "missing.xml", ctx));
    ExpectPreviousOrder();
    ASSERT_EQ(log.lines.size(), 4u);
    EXPECT_EQ(log.lines[0], "Load XML " + (dir / "o.xml"));
    // The parser's own words, with where it stopped.
#ifdef _WIN32
    EXPECT_TRUE(log.lines[1].starts_with("Unable to Load XML ")) << log.lines[1];
    EXPECT_GT(log.lines[1].size(), std::string_view("Unable to Load XML ").size());  // and a reason
#else
    EXPECT_EQ(log.lines[1], "Unable to Load XML Premature end of data in tag PatientID line 1 (line 1, column 33)");
#endif
    EXPECT_EQ(log.lines[2], "Load XML " + (dir / "missing.xml"));
    EXPECT_NE(log.lines[3].find("missing.xml"), std::string::npos);
}

TEST_F(LegacyLoader, NoDocumentComponentMeansNoLoadAndNoLogLine) {
    NoDocumentFactory none;
    IntakeContext broken{none, log, clock};
    SeedPreviousOrder();
    WriteFile(dir / "o.xml", "<DictationData><New/></DictationData>");
    EXPECT_FALSE(LoadLegacyXML(order, dir / "o.xml", broken));
    EXPECT_FALSE(LoadXML(order, dir / "o.xml", broken));
    EXPECT_EQ(LoadOrderFile(order, dir / "o.xml", broken).ok, false);
    ExpectPreviousOrder();
    EXPECT_TRUE(log.lines.empty());
}

// A node other than an element inside the block stops the fixed-layout load
// after it filled the fields; the generic loader then takes the file, and
// the fields stay.
TEST_F(LegacyLoader, NonElementInsideTheBlockFallsBackToTheGenericLoaderKeepingTheFields) {
    EXPECT_FALSE(Load("<DictationData><New><PatientID>5</PatientID><!-- note --><UserID>u</UserID></New></DictationData>"));
    EXPECT_EQ(order.fields.txtMRN, "5");
    EXPECT_EQ(order.fields.txtUserID, "u");
    EXPECT_EQ(order.xml_elements, (Records{{"XML_PatientID", "5"}}));
    order = OrderState{};
    LoadOutcome out = LoadOrderFile(order, dir / "o.xml", ctx);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.loader, LoaderUsed::Generic);
    EXPECT_EQ(order.fields.txtMRN, "5");
    EXPECT_EQ(order.fields.txtUserID, "u");
    EXPECT_EQ(order.xml_elements, (Records{{"<DictationData><New><PatientID>", "5"}, {"<DictationData><New>", "note"},
                                           {"<DictationData><New><UserID>", "u"}}));

    WriteFile(dir / "o.xml", "<DictationData><New><PatientID>6</PatientID></New></DictationData>");
    out = LoadOrderFile(order, dir / "o.xml", ctx);
    EXPECT_EQ(out.loader, LoaderUsed::Legacy);
    EXPECT_EQ(order.xml_elements, (Records{{"XML_PatientID", "6"}}));
}

// The PACS finishes its rewrite just after the fixed-layout loader gave up on
// the half-written file, before the generic loader gets its turn.
class RewriteAfterFailure final : public LogSink {
public:
    RewriteAfterFailure(std::string path, std::string finished) : path_(std::move(path)), finished_(std::move(finished)) {}
    void WriteLog(const std::string& message) override {
        if (message.starts_with("Unable to Load XML ")) WriteFile(path_, finished_);
    }
    void WriteVerboseLog(const std::string&) override {}

private:
    std::string path_, finished_;
};

TEST_F(LegacyLoader, AFileCaughtMidRewriteIsNotAnOrderEvenIfItIsFinishedBeforeTheSecondLoader) {
    SeedPreviousOrder();
    WriteFile(dir / "o.xml", "");  // truncated: the rewrite has begun
    RewriteAfterFailure pacs(dir / "o.xml", "<DictationData><New><PatientID>NEW</PatientID></New></DictationData>");
    IntakeContext racing{xml::DefaultDocumentFactory(), pacs, clock};
    LoadOutcome out = LoadOrderFile(order, dir / "o.xml", racing);
    EXPECT_FALSE(out.ok);
    ExpectPreviousOrder();  // never the old patient beside the new order's values
    // The next attempt reads the finished file.
    EXPECT_TRUE(LoadOrderFile(order, dir / "o.xml", ctx).ok);
    EXPECT_EQ(order.fields.txtMRN, "NEW");
}

TEST(AccessionText, StampAcrossTheYearEnd) {
    EXPECT_EQ(GetAccessionText(FixedClock(LocalTime{2026, 12, 31, 23, 59, 59})), "T261231_2359");
    EXPECT_EQ(GetAccessionText(FixedClock(LocalTime{2027, 1, 1, 0, 0, 0})), "T270101_0000");
    EXPECT_EQ(GetAccessionText(FixedClock(LocalTime{2026, 12, 7, 9, 5, 0})), "T261207_0905");
}

}  // namespace
}  // namespace pvd
