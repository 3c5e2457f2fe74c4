// The sortable list: headings, the order of two cell texts, sorting that never loses a row.
#include "SortListCtrl.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(SortListCtrlTest, CompareFollowsTheKindOfTheFirstText) {
    struct Case {
        const char* first;
        const char* second;
        int order;
    } const cases[] = {
        {"9", "10", -1},
        {"10", "9", 1},
        {"007", "7", 0},
        {"", "5", -1},          // an empty text is a number
        {"", "", 0},
        {"10", "abc", 1},       // the second text counts by the digits it starts with
        {"3", "12abc", -1},
        {"123456789012345678901234567890", "99", 1},  // any length
        {"99", "123456789012345678901234567890", -1},
        {"03/04/2011", "01/05/2010", 1},  // year first
        {"01/05/2010", "03/04/2011", -1},
        {"01/05/2010", "02/05/2010", -1},  // then characters 3-4, then 0-1
        {"01/06/2010", "02/05/2010", 1},
        {"01/05/2010", "01/05/2010", 0},
        {"01/05/2010", "01/05", 1},        // a second text too short for a date counts as zeros
        {"31/05/2010", "01/06/2010", -1},  // month before day
        {"x1/05/2010", "01/05/2010", 1},   // not a date: text order
        {"abc", "abd", -1},
        {"B", "a", -1},                     // case-sensitive
        {"2010-05-04", "2009-12-31", 1},    // year-month-day sorts as text
        {"13:07:59.042", "13:07:59.041", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SortListCtrl::CompareListItems(c.first, c.second), c.order) << c.first << " / " << c.second;
    }
}

TEST(SortListCtrlTest, HeadingsAndSorting) {
    ui::DialogSpec def;
    def.controls = {{1, ui::ControlKind::List, "", {}}, {2, ui::ControlKind::Edit, "", {}}};
    ui::Dialog dialog(def);
    SortListCtrl list(dialog, 1);
    EXPECT_TRUE(list.SetHeadings("Num,50;Text,120;Cut"));
    const auto columns = dialog.List(1).columns;
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_EQ(columns[0].name, "Num");
    EXPECT_EQ(columns[1].width, 120);
    EXPECT_FALSE(SortListCtrl(dialog, 2).SetHeadings("A,1"));

    // Mixed kinds in one column: every row stays, once.
    for (const char* n : {"10", "9", "x", "", "01/01/2000", "100"}) list.AddItem({n, std::string("t") + n});
    list.OnColumnClick(0);
    EXPECT_TRUE(list.Ascending());
    list.OnColumnClick(0);
    EXPECT_FALSE(list.Ascending());
    list.OnColumnClick(1);
    EXPECT_TRUE(list.Ascending());
    EXPECT_EQ(list.SortedColumn(), 1);
    std::vector<std::string> texts;
    for (const auto& row : dialog.Rows(1)) texts.push_back(row.texts[0]);
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"", "01/01/2000", "10", "100", "9", "x"}));

    // Numbers only: 9 before 10 ascending, after it descending.
    list.DeleteAllItems();
    for (const char* n : {"10", "9", "100", "0"}) list.AddItem({n, ""});
    list.SortColumn(0, true);
    std::string order;
    for (const auto& row : dialog.Rows(1)) order += row.texts[0] + " ";
    EXPECT_EQ(order, "0 9 10 100 ");
    list.SortColumn(0, false);
    order.clear();
    for (const auto& row : dialog.Rows(1)) order += row.texts[0] + " ";
    EXPECT_EQ(order, "100 10 9 0 ");
    // Rows keep their colours of the time they were added.
    list.SetDefaultColours(0x112233, 0x445566);
    list.AddItem({"5"});
    const ui::ListRow last = dialog.Rows(1).back();
    EXPECT_EQ(last.texts.size(), 2u);
    EXPECT_EQ(last.textColours, (std::vector<ui::Colour>{0x112233, 0x112233}));
    EXPECT_EQ(last.backColours, (std::vector<ui::Colour>{0x445566, 0x445566}));
    EXPECT_EQ(dialog.Rows(1).front().backColours[0], 0xFFFFFFu);
}
