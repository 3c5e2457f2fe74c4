// Message boxes: shown through a presenter, waited for, closed by caption from another thread.
#include "ui/MessageBoxes.h"

#include <gtest/gtest.h>

#include <thread>

using namespace ui;

TEST(MessageBoxesTest, ShowWaitsForTheAnswer) {
    ScriptedPresenter presenter;
    MessageBoxes boxes(&presenter);
    EXPECT_EQ(boxes.Show({"A   ", "text", BoxButtons::YesNo, BoxIcon::Question}), BoxResult::Yes);
    presenter.SetScript([](const BoxRequest&) { return std::nullopt; });
    BoxResult answer = BoxResult::None;
    std::thread waiter([&] { answer = boxes.Show({"B   ", "wait", BoxButtons::OkCancel, BoxIcon::Information}); });
    auto box = presenter.WaitForOpen("B   ");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(boxes.OpenBoxes().size(), 1u);
    box->Answer(BoxResult::Ok);
    waiter.join();
    EXPECT_EQ(answer, BoxResult::Ok);
    EXPECT_TRUE(boxes.OpenBoxes().empty());
    // Without a presenter a box takes its first button.
    MessageBoxes none;
    EXPECT_EQ(none.Show({"C", "", BoxButtons::YesNo, BoxIcon::None}), BoxResult::Yes);
}

TEST(MessageBoxesTest, CloseByCaptionClosesTheFirstMatchWithCancelOrTheLastButton) {
    ScriptedPresenter presenter;
    presenter.SetScript([](const BoxRequest&) { return std::nullopt; });
    MessageBoxes boxes(&presenter);
    struct Case {
        BoxButtons buttons;
        BoxResult closedWith;
    } const cases[] = {{BoxButtons::Ok, BoxResult::Ok},
                       {BoxButtons::OkCancel, BoxResult::Cancel},
                       {BoxButtons::YesNo, BoxResult::No}};
    for (const Case& c : cases) {
        BoxResult first = BoxResult::None, second = BoxResult::None;
        std::thread a([&] { first = boxes.Show({"Warning   ", "1", c.buttons, BoxIcon::Warning}); });
        ASSERT_NE(presenter.WaitForOpen("Warning   "), nullptr);
        std::thread b([&] { second = boxes.Show({"Warning   ", "2", c.buttons, BoxIcon::Warning}); });
        ASSERT_TRUE(presenter.WaitForShown("Warning   ", 2));
        EXPECT_FALSE(boxes.CloseByCaption("Warning"));    // the caption's blanks count
        EXPECT_TRUE(boxes.CloseByCaption("WARNING   "));  // case does not
        a.join();
        EXPECT_EQ(first, c.closedWith);
        EXPECT_EQ(boxes.OpenBoxes().size(), 1u);
        boxes.CloseByCaption("Warning   ");
        b.join();
        EXPECT_EQ(second, c.closedWith);
        EXPECT_FALSE(boxes.CloseByCaption("Warning   "));
        presenter.ClearShown();
    }
    // Once closed for good, boxes are answered at once and not shown.
    boxes.CloseAll();
    EXPECT_EQ(boxes.Show({"Confirmation   ", "", BoxButtons::YesNo, BoxIcon::Question}), BoxResult::No);
    EXPECT_TRUE(presenter.Shown().empty());
}
