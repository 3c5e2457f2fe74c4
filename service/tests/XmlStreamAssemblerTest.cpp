// The stream assembler of the XML channels, with the XML library's own parser deciding what a
// document is.
#include "xml/XmlStreamAssembler.h"

#include "runtime/Log.h"
#include "runtime/Utilities.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

class AssemblerTest : public ::testing::Test {
protected:
    void SetUp() override {
        currentLevel.store(LOGLEVEL_DBG3);
        parser = CUtilities::CreateDOMParser(nullptr, false);
    }
    void TearDown() override {
        xercesc::XMLGrammarPool* pool = nullptr;
        CUtilities::ReleaseParser(parser, pool);
        currentLevel.store(LOGLEVEL_INFO);
    }

    // Feeds one read; well-formed texts count as documents and are collected.
    void Feed(CXmlStreamAssembler& assembler, const std::string& chunk) {
        assembler.Feed(
            chunk.data(), chunk.size(),
            [this](const std::string& text) {
                ++parses;
                xercesc::DOMDocument* document = CUtilities::ParseXmlText(parser, text.data(), text.size());
                if (document == nullptr) return false;
                documents.push_back(text);
                document->release();
                return true;
            },
            [this](int level, const std::string& text) {
                if (level == LOGLEVEL_WARNING) warnings.push_back(text);
                longestLine = std::max(longestLine, text.size());
            });
    }

    xercesc::DOMLSParser* parser = nullptr;
    std::vector<std::string> documents;
    std::vector<std::string> warnings;
    int parses = 0;
    size_t longestLine = 0;
};

}  // namespace

TEST_F(AssemblerTest, DocumentsSplitAndMergedAcrossReads) {
    CXmlStreamAssembler assembler("<Device", CXmlStreamAssembler::KeepLastFailedPiece);
    Feed(assembler, "<DeviceA n=\"1\"><X/></DeviceA><DeviceB n=\"2\"/>");
    EXPECT_EQ(documents, (std::vector<std::string>{"<DeviceA n=\"1\"><X/></DeviceA>", "<DeviceB n=\"2\"/>"}));
    EXPECT_EQ(assembler.Pending(), "");

    documents.clear();
    Feed(assembler, "<DeviceA n=\"3\"><X");
    EXPECT_TRUE(documents.empty());
    EXPECT_EQ(assembler.Pending(), "<DeviceA n=\"3\"><X");
    Feed(assembler, "/></DeviceA>");
    EXPECT_EQ(documents, (std::vector<std::string>{"<DeviceA n=\"3\"><X/></DeviceA>"}));
    EXPECT_EQ(assembler.Pending(), "");
    EXPECT_TRUE(warnings.empty());
}

TEST_F(AssemblerTest, NewDocumentAfterBlanksDropsThePendingFragment) {
    CXmlStreamAssembler assembler("<Vdm", CXmlStreamAssembler::KeepLastFailedPiece);
    Feed(assembler, "<VdmA><unfinished");
    Feed(assembler, "   <VdmB/>");
    EXPECT_EQ(documents, (std::vector<std::string>{"   <VdmB/>"}));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], " Previous received XML is invalid: <VdmA><unfinished");
    EXPECT_EQ(assembler.Pending(), "");
}

TEST_F(AssemblerTest, FailedPiecesAreKeptByEachChannelsPolicy) {
    // A good piece, a broken one, another good one.
    const std::string text = "<DeviceA/><DeviceBroken <DeviceC/>";
    {
        CXmlStreamAssembler assembler("<Device", CXmlStreamAssembler::KeepLastFailedPiece);
        Feed(assembler, text);
        EXPECT_EQ(documents, (std::vector<std::string>{"<DeviceA/>", "<DeviceC/>"}));
        EXPECT_EQ(assembler.Pending(), "<DeviceBroken ");
    }
    documents.clear();
    {
        CXmlStreamAssembler assembler("<Device", CXmlStreamAssembler::KeepTrailingFailedPiece);
        Feed(assembler, text);
        EXPECT_EQ(documents, (std::vector<std::string>{"<DeviceA/>", "<DeviceC/>"}));
        EXPECT_EQ(assembler.Pending(), "");
        Feed(assembler, "<DeviceD/><DeviceE");
        EXPECT_EQ(assembler.Pending(), "<DeviceE");
    }
}

TEST_F(AssemblerTest, TextBeforeTheFirstRootBecomesAPieceOfItsOwn) {
    CXmlStreamAssembler assembler("<Device", CXmlStreamAssembler::KeepLastFailedPiece);
    Feed(assembler, "garbage<DeviceA/>");
    EXPECT_EQ(documents, (std::vector<std::string>{"<DeviceA/>"}));
    EXPECT_EQ(assembler.Pending(), "<Devicegarbage");
}

TEST_F(AssemblerTest, PendingTextBeyondTheCapIsDropped) {
    CXmlStreamAssembler assembler("<Device", CXmlStreamAssembler::KeepLastFailedPiece, 1024);
    // Grows by reads that never complete and never start a new document.
    Feed(assembler, "<DeviceA text=\"" + std::string(600, 'x'));
    EXPECT_EQ(assembler.Pending().size(), 615u);
    Feed(assembler, std::string(600, 'y'));
    EXPECT_EQ(assembler.Pending(), "");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(" Previous received XML is invalid: <DeviceA text=\"xxx", 0), 0u);

    // One read longer than the cap is not kept either, and the stream goes on.
    Feed(assembler, std::string(5000, 'z'));
    EXPECT_EQ(assembler.Pending(), "");
    EXPECT_EQ(warnings.size(), 2u);
    EXPECT_LT(warnings[1].size(), 5000u);  // the warning carries only the start of a long text
    Feed(assembler, "<DeviceB/>");
    EXPECT_EQ(documents, (std::vector<std::string>{"<DeviceB/>"}));

    // A text that reaches the cap exactly is kept.
    Feed(assembler, "<DeviceC text=\"" + std::string(500, 'x'));
    Feed(assembler, std::string(1024 - 515, 'y'));
    EXPECT_EQ(assembler.Pending().size(), 1024u);
    EXPECT_EQ(warnings.size(), 2u);
}

TEST_F(AssemblerTest, OnlyTextEndingInATagIsParsed) {
    CXmlStreamAssembler assembler("<Device", CXmlStreamAssembler::KeepLastFailedPiece);
    // A message that never ends, dribbled in reads of a few kilobytes as a socket delivers a large
    // one: none of the growing text is handed to the parser, however often it is completed.
    Feed(assembler, "<DeviceA value=\"");
    for (int read = 0; read < 400; ++read) Feed(assembler, std::string(2800, 'x'));
    EXPECT_EQ(parses, 0);
    EXPECT_TRUE(documents.empty());
    EXPECT_FALSE(warnings.empty());  // dropped at the cap, as before
    // Each read's " Received: " line carries only the start of the pending text.
    EXPECT_LT(longestLine, CXmlStreamAssembler::kMaxLoggedText + 100);
    EXPECT_GT(longestLine, CXmlStreamAssembler::kMaxLoggedText);

    // A read that ends in a tag is tried, with blanks or a terminating zero after it; one that
    // ends in the middle of a tag is not.
    for (const std::string& tail : {std::string("\r\n"), std::string(" \t"), std::string(1, '\0')}) {
        documents.clear();
        parses = 0;
        Feed(assembler, "<DeviceB n=\"1\"><X/");
        EXPECT_EQ(parses, 0);
        Feed(assembler, "></DeviceB>" + tail);
        EXPECT_EQ(parses, 1);
        ASSERT_EQ(documents.size(), 1u);
        EXPECT_EQ(documents[0].rfind("<DeviceB n=\"1\"><X/></DeviceB>", 0), 0u);
        EXPECT_EQ(assembler.Pending(), "");
    }

    // Pieces of a combined read are held to the same rule: the cut last piece is kept unparsed.
    documents.clear();
    parses = 0;
    Feed(assembler, "<DeviceC/><DeviceD><Y");
    EXPECT_EQ(documents, (std::vector<std::string>{"<DeviceC/>"}));
    EXPECT_EQ(assembler.Pending(), "<DeviceD><Y");
    EXPECT_EQ(parses, 1);
}

// A long unfinished text that a read continues is kept as it is until a root turns up in it; a root
// cut between two reads is still found, so the document it starts is not dropped with the text
// before it when the two together pass the cap.
TEST_F(AssemblerTest, ARootCutBetweenReadsOfAGrowingTextIsFound) {
    const std::string root = "<Device";
    for (size_t cut = 1; cut <= root.size(); ++cut) {
        documents.clear();
        warnings.clear();
        CXmlStreamAssembler assembler(root, CXmlStreamAssembler::KeepLastFailedPiece, 1024);
        Feed(assembler, "<DeviceA v=\"" + std::string(900, 'x'));
        Feed(assembler, std::string(50, 'y') + root.substr(0, cut));
        EXPECT_EQ(assembler.Pending().size(), 962u + cut) << cut;
        // The rest of the root and of a start tag: the text is now past the cap.
        Feed(assembler, root.substr(cut) + "B n=\"1\"><X" + std::string(80, 'z'));
        EXPECT_EQ(assembler.Pending(), "<DeviceB n=\"1\"><X" + std::string(80, 'z')) << cut;
        Feed(assembler, "/></DeviceB>");
        EXPECT_EQ(documents, (std::vector<std::string>{"<DeviceB n=\"1\"><X" + std::string(80, 'z') + "/></DeviceB>"}))
            << cut;
        EXPECT_TRUE(warnings.empty()) << cut;
        EXPECT_EQ(assembler.Pending(), "") << cut;
    }
    // A root right after the first byte of the text.
    CXmlStreamAssembler assembler(root, CXmlStreamAssembler::KeepLastFailedPiece, 1024);
    Feed(assembler, "x<Dev");
    Feed(assembler, "iceB n=\"1\"><X");
    EXPECT_EQ(assembler.Pending(), "<DeviceB n=\"1\"><X");
}
