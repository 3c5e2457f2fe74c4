// The dialog model: control state, handlers, the view's wake-ups and report lists.
#include "ui/Dialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace ui;

namespace {

DialogSpec Spec() {
    DialogSpec def;
    def.caption = "Test";
    def.controls = {{0, ControlKind::Label, "label", {}},
                     {10, ControlKind::Button, "Go", {}},
                     {11, ControlKind::Button, "Off", {}, kDisabled},
                     {12, ControlKind::Button, "OK", {}, kHidden | kDefault},
                     {13, ControlKind::Button, "Hidden", {}, kHidden},
                     {20, ControlKind::Edit, "start", {}},
                     {30, ControlKind::List, "", {}}};
    return def;
}

ListRow Row(const std::string& a, const std::string& b = "") { return ListRow{{a, b}, {}, {}, 0}; }

}  // namespace

TEST(DialogTest, ControlsKeepTheirStateAndClicksNeedAnEnabledShownButton) {
    Dialog dialog(Spec());
    EXPECT_FALSE(dialog.Has(0));
    EXPECT_EQ(dialog.Text(20), "start");
    EXPECT_TRUE(dialog.Enabled(10));
    EXPECT_FALSE(dialog.Enabled(11));
    EXPECT_FALSE(dialog.Visible(13));
    EXPECT_EQ(dialog.Text(99), "");
    dialog.SetText(99, "x");  // ignored

    int clicks[14] = {};
    for (int id : {10, 11, 12, 13}) dialog.OnClick(id, [&clicks, id] { ++clicks[id]; });
    EXPECT_TRUE(dialog.Click(10));
    EXPECT_FALSE(dialog.Click(11));
    EXPECT_TRUE(dialog.Click(12));  // the hidden default button still takes Enter
    EXPECT_FALSE(dialog.Click(13));
    EXPECT_FALSE(dialog.Click(20));  // no handler
    dialog.Enable(11, true);
    dialog.Show(13, true);
    EXPECT_TRUE(dialog.Click(11));
    EXPECT_TRUE(dialog.Click(13));
    EXPECT_EQ(clicks[10] + clicks[11] + clicks[12] + clicks[13], 4);

    EXPECT_EQ(dialog.EndedWith(), -1);
    dialog.Cancel();
    EXPECT_EQ(dialog.EndedWith(), 2);
    dialog.EndDialog(1);  // the first end counts
    EXPECT_EQ(dialog.EndedWith(), 2);
}

TEST(DialogTest, ChangesWakeTheViewOnceUntilItTakesThem) {
    Dialog dialog(Spec());
    std::atomic<int> wakes{0};
    dialog.SetWake([&] { ++wakes; });
    dialog.SetText(20, "a");
    dialog.Enable(10, false);
    dialog.SetText(20, "a");  // no change
    EXPECT_EQ(wakes.load(), 1);
    EXPECT_EQ(dialog.TakeDirty(), (std::set<int>{10, 20}));
    // Unknown controls and values that do not change wake nothing.
    dialog.Enable(99, false);
    dialog.Show(99, false);
    dialog.SetChecked(99, true);
    dialog.Enable(10, false);
    dialog.Show(10, true);
    dialog.SetChecked(20, false);
    EXPECT_EQ(wakes.load(), 1);
    EXPECT_TRUE(dialog.TakeDirty().empty());
    dialog.Show(10, false);
    dialog.SetChecked(20, true);
    EXPECT_EQ(dialog.TakeDirty(), (std::set<int>{10, 20}));
    dialog.TextFromView(20, "typed");  // the view's own input is not sent back to it
    EXPECT_EQ(dialog.Text(20), "typed");
    EXPECT_TRUE(dialog.TakeDirty().empty());
    dialog.Show(10, true);

    // Many threads changing many times: the pending work stays one wake and one set of ids.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&dialog, t] {
            for (int i = 0; i < 1000; ++i) dialog.SetText(20, std::to_string(t * 1000 + i));
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wakes.load(), 3);
    EXPECT_EQ(dialog.TakeDirty(), (std::set<int>{10, 20}));
    dialog.EndDialog(1);
    EXPECT_EQ(dialog.TakeDirty(), (std::set<int>{0}));
}

TEST(DialogTest, ListRowsAppendSortAndDrop) {
    Dialog dialog(Spec());
    EXPECT_EQ(dialog.AppendRow(20, Row("x")), -1);  // not a list
    EXPECT_TRUE(dialog.AddColumn(30, "A", 50));
    EXPECT_TRUE(dialog.AddColumn(30, "B", 60));
    for (const char* text : {"c", "a", "b", "a"}) dialog.AppendRow(30, Row(text, std::to_string(dialog.RowCount(30))));
    const auto texts = [&](size_t column) {
        std::string all;
        for (const ListRow& row : dialog.Rows(30)) all += row.texts[column];
        return all;
    };
    dialog.SortRows(30, 0, true, [](const ListRow& a, const ListRow& b) { return a.texts[0] < b.texts[0]; });
    EXPECT_EQ(texts(0), "aabc");
    EXPECT_EQ(texts(1), "1320");  // equal texts keep their order
    EXPECT_EQ(dialog.List(30).sortColumn, 0);
    // An order that contradicts itself still leaves every row in place, once.
    dialog.SortRows(30, 1, false, [](const ListRow&, const ListRow&) { return true; });
    std::string sorted = texts(1);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, "0123");
    EXPECT_EQ(dialog.ListFrom(30, 3).rows.size(), 1u);
    EXPECT_TRUE(dialog.ListFrom(30, 9).rows.empty());
    // The oldest rows go first, wherever sorting put them.
    dialog.DropOldestRows(30, 2);
    sorted = texts(1);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, "23");
    const uint64_t generation = dialog.List(30).generation;
    dialog.DeleteAllRows(30);
    EXPECT_EQ(dialog.RowCount(30), 0);
    EXPECT_GT(dialog.List(30).generation, generation);
}
