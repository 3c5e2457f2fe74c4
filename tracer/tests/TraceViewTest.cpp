// The trace viewer's Qt window over its dialog model, on Qt's offscreen platform, with live
// records through the slot.
#include "ZarnTraceDlg.h"
#include "QtDialogView.h"

#include "CaptionFit.h"
#include "TraceTestSupport.h"

#include "platform/Mailslot.h"

#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "tracer_view_tests";
        static char* argv[] = {name, nullptr};
        app = new QApplication(argc, argv);
    }
    void TearDown() override { delete app; }
    QApplication* app = nullptr;
};

[[maybe_unused]] ::testing::Environment* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

TEST(TraceViewTest, ListButtonsAndLiveRecords) {
    const std::string slot = TestSlotName();
    ui::QtBoxPresenter presenter;
    ui::MessageBoxes boxes(&presenter);
    QPointer<QWidget> window;
    std::vector<std::string> opened;
    CZarnTraceDlg dialog(
        boxes,
        [&](ui::Dialog& child) {
            opened.push_back(child.Spec().caption);
            ui::QtDialogView view(child, window.data());
            // Answered from the event loop: the filter's DirectShow box ticked and Set pressed.
            QTimer::singleShot(0, &view, [&view, &child] {
                if (auto* box = qobject_cast<QCheckBox*>(view.Widget(IDC_FILTER_SOURCE_FIRST + 4))) {
                    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
                }
                QTest::mouseClick(view.Widget(1), Qt::LeftButton);
                (void)child;
            });
            return view.exec();
        },
        [] { return std::string(); }, slot);
    ui::QtDialogView view(dialog);
    window = &view;
    dialog.OnInitDialog();
    view.show();
    ASSERT_TRUE(WaitUntil([&] { return dialog.Reading(); }));

    EXPECT_EQ(view.windowTitle(), "ZarnTrace");
    auto* list = qobject_cast<QTreeWidget*>(view.Widget(IDC_TRACE_LIST));
    ASSERT_NE(list, nullptr);
    QApplication::processEvents();
    ASSERT_EQ(list->columnCount(), 5);
    const char* names[] = {"Date", "Time", "Source", "Level", "Message"};
    const int widths[] = {70, 80, 100, 80, 600};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(list->headerItem()->text(i).toStdString(), names[i]);
        EXPECT_EQ(list->columnWidth(i), view.ScalePixels(widths[i]));
        EXPECT_GE(view.ScalePixels(widths[i]), widths[i]);
    }
    const std::pair<int, const char*> buttons[] = {{IDC_TRACE_STOP, "Stop"}, {IDC_TRACE_CLEAR, "Clear"},
                                                   {IDC_TRACE_SAVE, "Save"}, {IDC_TRACE_FILTER, "Msg Filter"},
                                                   {IDC_TRACE_EXIT, "Exit"}};
    for (const auto& [id, text] : buttons) {
        auto* button = qobject_cast<QPushButton*>(view.Widget(id));
        ASSERT_NE(button, nullptr) << id;
        EXPECT_EQ(button->text().toStdString(), text);
        EXPECT_TRUE(button->isVisible());
    }
    EXPECT_FALSE(view.Widget(IDC_TRACE_OK)->isVisible());

    // The filter dialog through the window: DirectShow ticked, Set.
    QTest::mouseClick(view.Widget(IDC_TRACE_FILTER), Qt::LeftButton);
    EXPECT_EQ(opened, std::vector<std::string>{"Set Message Filter"});
    EXPECT_EQ(dialog.sourceFlags[4].load(), 1);

    // Live records from both libraries' sources arrive in the window's list.
    for (int i = 0; i < 20; ++i) {
        const auto bytes = RecordBytes(i % 2 == 0 ? 3 : 4, static_cast<uint8_t>(i % 6),
                                       "live record " + std::to_string(i), "2026-12-10 15:00:00.0" + std::to_string(10 + i));
        ASSERT_TRUE(platform::MailslotWrite(slot, bytes.data(), bytes.size()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return list->topLevelItemCount() == i + 1; }, 5000)) << i;
    }
    EXPECT_EQ(list->topLevelItem(19)->text(4).toStdString(), "live record 19");
    EXPECT_EQ(list->topLevelItem(1)->text(2).toStdString(), "DirectShow");

    // A header click sorts: Level ascending, with its arrow.
    QTest::mouseClick(list->header()->viewport(), Qt::LeftButton, {},
                      QPoint(list->header()->sectionViewportPosition(3) + 10, list->header()->height() / 2));
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->topLevelItem(0)->text(3) == "DBG1"; }, 2000));
    EXPECT_TRUE(list->header()->isSortIndicatorShown());
    EXPECT_EQ(list->header()->sortIndicatorSection(), 3);
    if (const char* shot = std::getenv("TESSIK_SCREENSHOT")) view.grab().save(shot);

    // Stop, Clear, and the other buttons reach their handlers.
    QTest::mouseClick(view.Widget(IDC_TRACE_STOP), Qt::LeftButton);
    EXPECT_TRUE(dialog.Stopped());
    QApplication::processEvents();
    EXPECT_EQ(qobject_cast<QPushButton*>(view.Widget(IDC_TRACE_STOP))->text(), "Start");
    QTest::mouseClick(view.Widget(IDC_TRACE_CLEAR), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->topLevelItemCount() == 0; }, 2000));
    int saves = 0;
    dialog.OnClick(IDC_TRACE_SAVE, [&] { ++saves; });
    QTest::mouseClick(view.Widget(IDC_TRACE_SAVE), Qt::LeftButton);
    EXPECT_EQ(saves, 1);
    // The system menu's About item.
    ASSERT_EQ(view.actions().size(), 1);
    EXPECT_EQ(view.actions()[0]->text(), "&About ZarnTrace...");
    view.actions()[0]->trigger();
    EXPECT_EQ(opened.back(), "About ZarnTrace");
    QTest::mouseClick(view.Widget(IDC_TRACE_EXIT), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view.isVisible(); }, 2000));
    EXPECT_EQ(dialog.EndedWith(), IDC_TRACE_EXIT);
}

// Every caption of the viewer's three dialogs shows whole in its control.
TEST(TraceViewTest, EveryCaptionFitsItsControl) {
    for (const ui::DialogSpec& form : {TraceDialogSpec(), MsgFilterDialogSpec(), AboutDialogSpec()}) {
        ui::Dialog dialog(form);
        ui::QtDialogView view(dialog);
        view.show();
        QApplication::processEvents();
        EXPECT_EQ(uitest::ClippedCaptions(view), std::vector<std::string>()) << form.caption;
        if (form.caption == "Set Message Filter") {
            if (const char* shot = std::getenv("TESSIK_FILTER_SCREENSHOT")) view.grab().save(shot);
        }
    }
}
