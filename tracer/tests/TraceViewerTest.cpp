// The trace viewer's dialog model: the reader on a slot of the test's own, the record checks, the
// filter, stopping, clearing, saving and the About box.
#include "ZarnTraceDlg.h"

#include "TraceTestSupport.h"

#include "platform/Mailslot.h"
#include "zarn/ZarnTraceLogger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cctype>

// The trace writer of the capture libraries, linked here as a test program's own.
const ZarnTraceLibrary kZarnTraceLibrary = {TraceSource::ZarnEssentialsApi, ""};

namespace {

using Row = std::vector<std::string>;

// A time text with a NUL in its date and one in its time.
std::string CutTime() {
    std::string time = "2010-05-04 13:07:59.042";
    time[7] = '\0';
    time[16] = '\0';
    return time;
}

class TraceViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        boxes.SetPresenter(&presenter);
        dialog.OnInitDialog();
        ASSERT_TRUE(WaitUntil([&] { return dialog.Reading(); }));
    }

    std::vector<Row> Rows() {
        std::vector<Row> rows;
        for (const ui::ListRow& row : dialog.Rows(IDC_TRACE_LIST)) rows.push_back(row.texts);
        return rows;
    }
    // Sends one message to the viewer's slot and, for a record that must show, waits for its row.
    void Send(const void* data, size_t size) { ASSERT_TRUE(platform::MailslotWrite(slot, data, size)); }
    void SendAndWait(uint8_t source, uint8_t level, const std::string& text) {
        const int before = dialog.ListCtrl().GetItemCount();
        const auto bytes = RecordBytes(source, level, text);
        Send(bytes.data(), bytes.size());
        ASSERT_TRUE(WaitUntil([&] { return dialog.ListCtrl().GetItemCount() == before + 1; })) << text;
    }
    // Runs the filter dialog, ticking exactly the given sources and levels, and presses Set.
    void SetFilter(std::vector<int> sources, std::vector<int> levels) {
        runModal = [sources, levels](ui::Dialog& filter) {
            for (int i = 0; i < 8; ++i) filter.SetChecked(IDC_FILTER_SOURCE_FIRST + i, false);
            for (int i = 0; i < 6; ++i) filter.SetChecked(IDC_FILTER_LEVEL_FIRST + i, false);
            for (int s : sources) filter.SetChecked(IDC_FILTER_SOURCE_FIRST + s, true);
            for (int l : levels) filter.SetChecked(IDC_FILTER_LEVEL_FIRST + l, true);
            filter.Click(IDC_FILTER_SET);
            return filter.EndedWith();
        };
        ASSERT_TRUE(dialog.Click(IDC_TRACE_FILTER));
    }

    const std::string slot = TestSlotName();
    ui::ScriptedPresenter presenter;
    ui::MessageBoxes boxes;
    std::function<int(ui::Dialog&)> runModal;
    std::string savePath;
    CZarnTraceDlg dialog{boxes, [this](ui::Dialog& d) { return runModal ? runModal(d) : -1; },
                         [this] { return savePath; }, slot};
};

}  // namespace

TEST_F(TraceViewerTest, RecordsAreCheckedAndShown) {
    const auto list = dialog.List(IDC_TRACE_LIST);
    ASSERT_EQ(list.columns.size(), 5u);
    const std::pair<const char*, int> headings[] = {{"Date", 70}, {"Time", 80}, {"Source", 100}, {"Level", 80},
                                                    {"Message", 600}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(list.columns[i].name, headings[i].first);
        EXPECT_EQ(list.columns[i].width, headings[i].second);
    }

    const std::string full(128, 'm');
    struct Case {
        const char* what;
        std::array<uint8_t, sizeof(TraceRecord)> bytes;
        int result;
        Row row;  // empty: not shown
    } cases[] = {
        {"fingerprint info", RecordBytes(3, 2, "hello"), 0,
         {"2010-05-04", "13:07:59.042", "ZarnEssentialsApi", "INFO", "hello"}},
        {"bad magic", RecordBytes(3, 2, "x"), -1, {}},
        {"source 8", RecordBytes(8, 2, "x"), -1, {}},
        {"source 4 filtered out at start", RecordBytes(4, 2, "x"), 0, {}},
        {"level 9 is ERRO", RecordBytes(3, 9, "lvl"), 0,
         {"2010-05-04", "13:07:59.042", "ZarnEssentialsApi", "ERRO", "lvl"}},
        {"128 characters without NUL", RecordBytes(3, 5, full), 0,
         {"2010-05-04", "13:07:59.042", "ZarnEssentialsApi", "DBG3", full}},
        {"texts end at their first NUL", RecordBytes(3, 1, std::string("ab\0cd", 5), CutTime()), 0,
         {"2010-05", "13:07", "ZarnEssentialsApi", "WARN", "ab"}},
    };
    cases[1].bytes[3] = 0xDE;
    for (const Case& c : cases) {
        dialog.ListCtrl().DeleteAllItems();
        EXPECT_EQ(dialog.AddTraceRecord(c.bytes.data()), c.result) << c.what;
        if (c.row.empty()) {
            EXPECT_TRUE(Rows().empty()) << c.what;
        } else {
            EXPECT_EQ(Rows(), std::vector<Row>{c.row}) << c.what;
        }
    }
    // The source's name in the list and in the filter differ for source 3.
    EXPECT_STREQ(TraceSourceName(0), "Firmeware");
    EXPECT_STREQ(TraceSourceName(4), "DirectShow");
    EXPECT_STREQ(TraceLevelName(3), "DBG1");

    // Source 4 shows once DirectShow is ticked; level 9 goes when ERRO is off.
    SetFilter({3, 4}, {1, 2, 3, 4, 5});
    EXPECT_EQ(dialog.AddTraceRecord(RecordBytes(4, 2, "iris").data()), 0);
    EXPECT_EQ(dialog.AddTraceRecord(RecordBytes(3, 9, "gone").data()), 0);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"2010-05-04", "13:07:59.042", "DirectShow", "INFO", "iris"}}));
}

TEST_F(TraceViewerTest, BothCaptureLibrariesWriteThroughTheSlotWholeAndInOrder) {
    SetFilter({3, 4}, {0, 1, 2, 3, 4, 5});
    ZarnTraceLogger fingerprint(TraceSource::ZarnEssentialsApi, slot);
    ZarnTraceLogger iris(TraceSource::ZarnIrisApi, slot);
    const std::string tail(140, 't');
    for (int i = 0; i < 60; ++i) {
        const int before = dialog.ListCtrl().GetItemCount();
        ZarnTraceLogger& writer = i % 2 == 0 ? fingerprint : iris;
        writer.Log(i % 6, "record %03d %s", i, tail.c_str());
        ASSERT_TRUE(WaitUntil([&] { return dialog.ListCtrl().GetItemCount() == before + 1; })) << i;
    }
    const std::vector<Row> rows = Rows();
    ASSERT_EQ(rows.size(), 60u);
    // Digits where the writer's local time puts them.
    auto shaped = [](const std::string& text, const std::string& form) {
        if (text.size() != form.size()) return false;
        for (size_t i = 0; i < form.size(); ++i) {
            if (form[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != form[i]) return false;
        }
        return true;
    };
    for (int i = 0; i < 60; ++i) {
        const Row& row = rows[static_cast<size_t>(i)];
        char head[32];
        std::snprintf(head, sizeof head, "record %03d ", i);
        // The text is cut at the record's 128 characters.
        EXPECT_EQ(row[4], (std::string(head) + tail).substr(0, 128)) << i;
        EXPECT_EQ(row[2], i % 2 == 0 ? "ZarnEssentialsApi" : "DirectShow") << i;
        EXPECT_EQ(row[3], TraceLevelName(static_cast<unsigned>(i % 6))) << i;
        EXPECT_TRUE(shaped(row[0], "9999-99-99")) << row[0];
        EXPECT_TRUE(shaped(row[1], "99:99:99.999")) << row[1];
    }
}

TEST_F(TraceViewerTest, DamagedDatagramsAreDroppedAndReadingGoesOn) {
    const auto good = RecordBytes(3, 2, "good");
    std::vector<uint8_t> longer(good.begin(), good.end());
    longer.resize(4096, 'x');
    for (size_t size : {size_t{1}, size_t{29}, sizeof(TraceRecord) - 1, sizeof(TraceRecord) + 1, size_t{256},
                        size_t{257}, size_t{4096}}) {
        Send(longer.data(), size);
    }
    SendAndWait(3, 2, "after");
    EXPECT_EQ(Rows(), (std::vector<Row>{{"2010-05-04", "13:07:59.042", "ZarnEssentialsApi", "INFO", "after"}}));
    EXPECT_TRUE(dialog.Reading());
}

TEST_F(TraceViewerTest, ASecondViewerFindsTheSlotTaken) {
    ui::MessageBoxes otherBoxes(&presenter);
    CZarnTraceDlg second(otherBoxes, nullptr, nullptr, slot);
    second.OnInitDialog();
    ASSERT_TRUE(WaitUntil([&] { return second.ReaderEnded(); }));
    EXPECT_FALSE(second.Reading());
    SendAndWait(3, 2, "to the first");
    EXPECT_EQ(second.ListCtrl().GetItemCount(), 0);
    EXPECT_TRUE(presenter.Shown().empty());
    EXPECT_EQ(second.EndedWith(), -1);  // its window still runs
}

TEST_F(TraceViewerTest, StopDropsRecordsAndClearEmptiesTheList) {
    SendAndWait(3, 2, "one");
    ASSERT_TRUE(dialog.Click(IDC_TRACE_STOP));
    EXPECT_EQ(dialog.Text(IDC_TRACE_STOP), "Start");
    EXPECT_TRUE(dialog.Stopped());
    const uint64_t read = dialog.MessagesRead();
    for (int i = 0; i < 5; ++i) {
        const auto bytes = RecordBytes(3, 2, "while stopped");
        Send(bytes.data(), bytes.size());
    }
    ASSERT_TRUE(WaitUntil([&] { return dialog.MessagesRead() == read + 5; }));
    ASSERT_TRUE(dialog.Click(IDC_TRACE_STOP));
    EXPECT_EQ(dialog.Text(IDC_TRACE_STOP), "Stop");
    SendAndWait(3, 2, "two");
    ASSERT_EQ(Rows().size(), 2u);
    EXPECT_EQ(Rows()[1][4], "two");
    ASSERT_TRUE(dialog.Click(IDC_TRACE_CLEAR));
    EXPECT_EQ(dialog.ListCtrl().GetItemCount(), 0);
    SendAndWait(3, 2, "three");
    EXPECT_EQ(Rows()[0][4], "three");
}

TEST_F(TraceViewerTest, FilterDialogShowsTheFlagsAndSetClearsTheList) {
    // Set-up ticks the boxes of the flags that are on: source 3 and every level.
    std::vector<bool> ticked;
    runModal = [&](ui::Dialog& filter) {
        for (int i = 0; i < 8; ++i) ticked.push_back(filter.Checked(IDC_FILTER_SOURCE_FIRST + i));
        for (int i = 0; i < 6; ++i) ticked.push_back(filter.Checked(IDC_FILTER_LEVEL_FIRST + i));
        EXPECT_EQ(filter.Spec().caption, "Set Message Filter");
        EXPECT_EQ(filter.Text(IDC_FILTER_SOURCE_FIRST + 3), "ZarnEssentials");
        filter.Cancel();  // Esc: nothing changes
        return filter.EndedWith();
    };
    dialog.AddTraceRecord(RecordBytes(3, 2, "kept").data());
    ASSERT_TRUE(dialog.Click(IDC_TRACE_FILTER));
    EXPECT_EQ(ticked, (std::vector<bool>{false, false, false, true, false, false, false, false, true, true, true,
                                         true, true, true}));
    EXPECT_EQ(dialog.ListCtrl().GetItemCount(), 1);

    // Set with nothing changed still empties the list.
    SetFilter({3}, {0, 1, 2, 3, 4, 5});
    EXPECT_EQ(dialog.ListCtrl().GetItemCount(), 0);
    // No level ticked: nothing shows any more.
    SetFilter({0, 1, 2, 3, 4, 5, 6, 7}, {});
    for (uint8_t level = 0; level < 6; ++level) dialog.AddTraceRecord(RecordBytes(3, level, "x").data());
    EXPECT_EQ(dialog.ListCtrl().GetItemCount(), 0);
    SetFilter({7}, {4});
    EXPECT_EQ(dialog.AddTraceRecord(RecordBytes(7, 4, "v").data()), 0);
    EXPECT_EQ(dialog.AddTraceRecord(RecordBytes(6, 4, "q").data()), 0);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"2010-05-04", "13:07:59.042", "Varmolt", "DBG2", "v"}}));
}

TEST_F(TraceViewerTest, HeaderClicksSortAndNewRowsGoToTheEnd) {
    SetFilter({0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5});
    dialog.AddTraceRecord(RecordBytes(3, 2, "b", "2010-05-04 13:07:59.042").data());
    dialog.AddTraceRecord(RecordBytes(0, 0, "c", "2009-01-01 00:00:00.000").data());
    dialog.AddTraceRecord(RecordBytes(2, 5, "a", "2011-12-31 23:59:59.999").data());
    auto column = [&](size_t c) {
        std::string all;
        for (const Row& row : Rows()) all += row[c] + ",";
        return all;
    };
    ASSERT_TRUE(dialog.ColumnClick(IDC_TRACE_LIST, 3));
    EXPECT_EQ(column(3), "DBG3,ERRO,INFO,");
    EXPECT_TRUE(dialog.List(IDC_TRACE_LIST).ascending);
    ASSERT_TRUE(dialog.ColumnClick(IDC_TRACE_LIST, 3));
    EXPECT_EQ(column(3), "INFO,ERRO,DBG3,");
    EXPECT_FALSE(dialog.List(IDC_TRACE_LIST).ascending);
    EXPECT_EQ(dialog.List(IDC_TRACE_LIST).sortColumn, 3);
    ASSERT_TRUE(dialog.ColumnClick(IDC_TRACE_LIST, 4));
    EXPECT_EQ(column(4), "a,b,c,");
    ASSERT_TRUE(dialog.ColumnClick(IDC_TRACE_LIST, 0));
    EXPECT_EQ(column(0), "2009-01-01,2010-05-04,2011-12-31,");
    dialog.AddTraceRecord(RecordBytes(1, 1, "0", "2000-01-01 00:00:00.000").data());
    EXPECT_EQ(column(4), "c,b,a,0,");
    EXPECT_FALSE(dialog.ColumnClick(IDC_TRACE_LIST, 5));
}

TEST_F(TraceViewerTest, SaveWritesTheListInItsOrder) {
    SetFilter({3, 4}, {0, 1, 2, 3, 4, 5});
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / (slot + "-save");
    std::filesystem::create_directories(dir);
    auto read = [](const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    // An empty list gives an empty file.
    savePath = (dir / "empty.txt").string();
    ASSERT_TRUE(dialog.Click(IDC_TRACE_SAVE));
    EXPECT_TRUE(std::filesystem::exists(savePath));
    EXPECT_EQ(read(savePath), "");

    dialog.AddTraceRecord(RecordBytes(3, 2, "msg").data());
    dialog.AddTraceRecord(RecordBytes(4, 0, "second line", "2011-01-02 03:04:05.006").data());
    dialog.ColumnClick(IDC_TRACE_LIST, 4);
    dialog.ColumnClick(IDC_TRACE_LIST, 4);  // descending: "second line" first
    savePath = (dir / "trace.txt").string();
    std::ofstream(savePath) << "old content that is replaced";
    ASSERT_TRUE(dialog.Click(IDC_TRACE_SAVE));
    EXPECT_EQ(read(savePath), "2011-01-02 03:04:05.006  [ERRO] : second line\r\n"
                              "2010-05-04 13:07:59.042  [INFO] : msg\r\n");

    // Cancelled: nothing happens; a file that cannot be made: one box.
    savePath.clear();
    ASSERT_TRUE(dialog.Click(IDC_TRACE_SAVE));
    savePath = (dir / "missing" / "trace.txt").string();
    ASSERT_TRUE(dialog.Click(IDC_TRACE_SAVE));
    ASSERT_EQ(presenter.Shown().size(), 1u);
    EXPECT_EQ(presenter.Shown()[0].text, "Failed to open file");
    std::filesystem::remove_all(dir);
}

TEST_F(TraceViewerTest, AboutBoxAndTheBoundedList) {
    std::string caption;
    int ended = -1;
    runModal = [&](ui::Dialog& about) {
        caption = about.Spec().caption;
        EXPECT_EQ(about.Spec().width, 235);
        EXPECT_EQ(about.Spec().height, 55);
        about.Click(1);
        return ended = about.EndedWith();
    };
    dialog.SystemCommand(IDM_ABOUTBOX | 0x3);  // the low four bits do not count
    EXPECT_EQ(caption, "About ZarnTrace");
    EXPECT_EQ(ended, 1);
    caption.clear();
    dialog.SystemCommand(0xF060);
    EXPECT_EQ(caption, "");
    ASSERT_EQ(dialog.Spec().systemMenu.size(), 1u);
    EXPECT_EQ(dialog.Spec().systemMenu[0].text, "&About ZarnTrace...");

    // Past its limit the list drops its oldest tenth.
    for (size_t i = 0; i <= kMaxTraceRows; ++i) dialog.AddTraceRecord(RecordBytes(3, 2, std::to_string(i)).data());
    const std::vector<Row> rows = Rows();
    ASSERT_EQ(rows.size(), kMaxTraceRows + 1 - kMaxTraceRows / 10);
    EXPECT_EQ(rows.front()[4], std::to_string(kMaxTraceRows / 10));
    EXPECT_EQ(rows.back()[4], std::to_string(kMaxTraceRows));
}

TEST(TraceDialogTemplates, ControlsAtTheirPlaces) {
    struct Place {
        int id;
        const char* text;
        ui::Rect place;
    };
    auto check = [](const ui::DialogSpec& def, const std::vector<Place>& places) {
        for (const Place& p : places) {
            bool found = false;
            for (const ui::ControlSpec& c : def.controls) {
                if (c.id != p.id || c.text != p.text) continue;
                found = true;
                EXPECT_EQ(c.place.x, p.place.x) << p.text;
                EXPECT_EQ(c.place.y, p.place.y) << p.text;
                EXPECT_EQ(c.place.width, p.place.width) << p.text;
                EXPECT_EQ(c.place.height, p.place.height) << p.text;
            }
            EXPECT_TRUE(found) << p.id << " " << p.text;
        }
    };
    const ui::DialogSpec main = TraceDialogSpec();
    EXPECT_EQ(main.caption, "ZarnTrace");
    EXPECT_EQ(main.width, 568);
    EXPECT_EQ(main.height, 213);
    check(main, {{1000, "", {7, 7, 554, 169}},
                 {1003, "Stop", {203, 185, 50, 14}},
                 {1001, "Clear", {258, 185, 50, 14}},
                 {1002, "Save", {313, 185, 50, 14}},
                 {1004, "Msg Filter", {369, 185, 50, 14}},
                 {2, "Exit", {503, 185, 50, 14}},
                 {1, "OK", {27, 185, 50, 14}}});
    const ui::DialogSpec filter = MsgFilterDialogSpec();
    EXPECT_EQ(filter.caption, "Set Message Filter");
    EXPECT_EQ(filter.width, 233);
    EXPECT_EQ(filter.height, 191);
    check(filter, {{1009, "Message Source:", {30, 15, 57, 15}},
                   {1010, "Firmeware", {30, 33, 48, 10}},
                   {1011, "Driver", {30, 50, 35, 10}},
                   {1012, "MorwenMosaic", {30, 67, 56, 10}},
                   {1013, "ZarnEssentials", {30, 84, 61, 10}},
                   {1014, "DirectShow", {30, 101, 53, 10}},
                   {1015, "Pobrel_Zarn", {30, 118, 73, 10}},
                   {1016, "Quendix2", {30, 135, 66, 10}},
                   {1017, "Varmolt", {30, 152, 63, 10}},
                   {1002, "Message Level:", {154, 15, 57, 15}},
                   {1003, "ERRO", {154, 33, 37, 10}},
                   {1004, "WARN", {154, 46, 39, 10}},
                   {1005, "INFO", {154, 59, 33, 10}},
                   {1006, "DBG1", {154, 72, 35, 10}},
                   {1007, "DBG2", {154, 85, 35, 10}},
                   {1008, "DBG3", {154, 98, 35, 10}},
                   {1, "Set", {91, 170, 50, 14}},
                   {2, "Cancel", {143, 170, 50, 14}}});
}
