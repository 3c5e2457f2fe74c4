// The controller's Qt window over its dialog model, on Qt's offscreen platform.
#include "NavikVdmControllerDlg.h"
#include "QtDialogView.h"

#include "CaptionFit.h"
#include "ControllerTestSupport.h"
#include "NetTestSupport.h"
#include "ServiceDouble.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "controller_view_tests";
        static char* argv[] = {name, nullptr};
        app = new QApplication(argc, argv);
    }
    void TearDown() override { delete app; }
    QApplication* app = nullptr;
};

[[maybe_unused]] ::testing::Environment* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

QMessageBox* FindBox(const QString& caption) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box != nullptr && box->isVisible() && box->windowTitle() == caption) return box;
    }
    return nullptr;
}

class ControllerViewTest : public ::testing::Test {
protected:
    const int base = nettest::FreePortRange(3);
    ControllerAppData appData{"LOG_LEVEL = NONE\nVdmConnectionPort = 0\nVdmConnectionMinPort = " +
                              std::to_string(base) + "\nVdmConnectionMaxPort = " + std::to_string(base + 2) + "\n"};
    ui::QtBoxPresenter presenter;
    ui::MessageBoxes boxes{&presenter};
};

}  // namespace

TEST_F(ControllerViewTest, EveryControlIsThereAndEachButtonReachesItsHandler) {
    CNavikVdmControllerDlg dialog(appData.ConfigPath(), boxes);
    dialog.OnInitDialog();
    ui::QtDialogView view(dialog);
    view.show();
    EXPECT_EQ(view.windowTitle(), "Tessik Biometrics VDM Controller");
    const QPoint size = view.ToPixels(615, 446);
    EXPECT_EQ(view.size(), QSize(size.x(), size.y()));

    int buttons = 0, edits = 0;
    for (const ui::ControlSpec& c : dialog.Spec().controls) {
        if (c.id == 0) continue;
        QWidget* widget = view.Widget(c.id);
        ASSERT_NE(widget, nullptr) << c.id;
        const QPoint at = view.ToPixels(c.place.x, c.place.y);
        EXPECT_EQ(widget->pos(), at) << c.id;
        EXPECT_EQ(widget->isEnabled(), dialog.Enabled(c.id)) << c.id;
        if (c.kind == ui::ControlKind::Button) {
            auto* button = qobject_cast<QPushButton*>(widget);
            ASSERT_NE(button, nullptr) << c.id;
            EXPECT_EQ(button->text().toStdString(), c.text);
            ++buttons;
        } else if (c.kind == ui::ControlKind::Edit) {
            auto* edit = qobject_cast<QLineEdit*>(widget);
            ASSERT_NE(edit, nullptr) << c.id;
            EXPECT_EQ(edit->text().toStdString(), dialog.Text(c.id));
            EXPECT_EQ(edit->validator() != nullptr, (c.flags & ui::kNumber) != 0) << c.id;
            ++edits;
        } else {
            ASSERT_NE(qobject_cast<QLabel*>(widget), nullptr) << c.id;
        }
    }
    EXPECT_EQ(buttons, 12);
    EXPECT_EQ(edits, 22);
    EXPECT_EQ(view.findChildren<QGroupBox*>().size(), 6);
    EXPECT_EQ(qobject_cast<QLabel*>(view.Widget(IDC_STATUS))->text(), "Not Connected To Tessik Biometrics VDM");
    int labels = 0;
    for (QLabel* label : view.findChildren<QLabel*>()) labels += label->objectName().isEmpty() ? 1 : 0;
    EXPECT_EQ(labels, 27);

    // Every button, enabled, hands its click to the model.
    std::vector<int> clicked;
    for (const ui::ControlSpec& c : dialog.Spec().controls) {
        if (c.kind != ui::ControlKind::Button) continue;
        dialog.OnClick(c.id, [&clicked, id = c.id] { clicked.push_back(id); });
        dialog.Enable(c.id, true);
    }
    QApplication::processEvents();
    std::vector<int> expected;
    for (const ui::ControlSpec& c : dialog.Spec().controls) {
        if (c.kind != ui::ControlKind::Button) continue;
        QTest::mouseClick(view.Widget(c.id), Qt::LeftButton);
        expected.push_back(c.id);
    }
    EXPECT_EQ(clicked, expected);
}

// Every caption of the controller's dialog shows whole in its control.
TEST_F(ControllerViewTest, EveryCaptionFitsItsControl) {
    CNavikVdmControllerDlg dialog(appData.ConfigPath(), boxes);
    dialog.OnInitDialog();
    ui::QtDialogView view(dialog);
    view.show();
    QApplication::processEvents();
    EXPECT_EQ(uitest::ClippedCaptions(view), std::vector<std::string>());
}

TEST_F(ControllerViewTest, TheWindowFollowsTheServiceAndItsBoxes) {
    ServiceDouble service;
    ASSERT_TRUE(service.Listen(base + 1));
    CNavikVdmControllerDlg dialog(appData.ConfigPath(), boxes);
    dialog.OnInitDialog();
    ui::QtDialogView view(dialog);
    view.show();
    auto* status = qobject_cast<QLabel*>(view.Widget(IDC_STATUS));
    auto* dmIp = qobject_cast<QLineEdit*>(view.Widget(IDC_DM_IP));

    // Typed input reaches the model; digits only in a number field.
    auto* port = qobject_cast<QLineEdit*>(view.Widget(IDC_VDM_CONNECTION_PORT));
    port->selectAll();
    QTest::keyClicks(port, "x0");
    EXPECT_EQ(dialog.Text(IDC_VDM_CONNECTION_PORT), "0");

    QTest::mouseClick(view.Widget(IDC_CONNECT), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dmIp->text() == "127.0.0.1" && dialog.Enabled(IDC_CALIBRATION); }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.Widget(IDC_CALIBRATION)->isEnabled(); }, 5000));
    EXPECT_EQ(status->text().toStdString(),
              "Connected To Tessik Biometrics VDM on URI 127.0.0.1:" + std::to_string(base + 1));
    EXPECT_TRUE(dmIp->isEnabled());
    EXPECT_FALSE(view.Widget(IDC_CONNECT)->isEnabled());
    if (const char* shot = std::getenv("TESSIK_SCREENSHOT")) view.grab().save(shot);

    // The lid question is a real modal box: the click returns once it is answered; Cancel sends
    // nothing.
    QString question;
    QTimer::singleShot(0, [&] {
        QMessageBox* box = FindBox("Confirmation   ");
        if (box == nullptr) return;
        question = box->text();
        QTest::mouseClick(box->button(QMessageBox::Cancel), Qt::LeftButton);
    });
    QTest::mouseClick(view.Widget(IDC_CALIBRATION), Qt::LeftButton);
    EXPECT_EQ(question, "Please cover the lid. Press OK to continue.");
    EXPECT_EQ(service.calls.Count("Calibrate"), 0);
    EXPECT_TRUE(view.Widget(IDC_CALIBRATION)->isEnabled());

    // The service goes: the failure box comes up and the window resets.
    service.Stop();
    QMessageBox* failure = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (failure = FindBox("Connection Failure   ")) != nullptr; }, 5000));
    EXPECT_EQ(failure->text(), "Cannot connect to Tessik Biometrics Vdm.");
    EXPECT_EQ(failure->icon(), QMessageBox::Critical);
    EXPECT_EQ(status->text(), "Not Connected To Tessik Biometrics VDM");
    EXPECT_EQ(dmIp->text(), "");
    EXPECT_TRUE(view.Widget(IDC_CONNECT)->isEnabled());
    QTest::mouseClick(failure->button(QMessageBox::Ok), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return FindBox("Connection Failure   ") == nullptr; }, 2000));

    // Close ends the dialog.
    QTest::mouseClick(view.Widget(IDC_CLOSE), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !view.isVisible(); }, 2000));
    EXPECT_EQ(dialog.EndedWith(), 1);
}
