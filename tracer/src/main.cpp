// ZarnTrace: shows the capture libraries' trace records live.

#include <QApplication>
#include <QFileDialog>
#include <QPalette>
#include <QStyle>

#include <clocale>

#include "QtDialogView.h"
#include "ZarnTraceDlg.h"

namespace {

ui::Colour ColourOf(const QColor& colour) {
    return (static_cast<ui::Colour>(colour.red()) << 16) | (static_cast<ui::Colour>(colour.green()) << 8) |
           static_cast<ui::Colour>(colour.blue());
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    std::setlocale(LC_COLLATE, "");
    ui::QtBoxPresenter presenter;
    ui::MessageBoxes boxes(&presenter);
    QPointer<QWidget> window;
    CZarnTraceDlg dialog(
        boxes,
        [&window](ui::Dialog& child) {
            ui::QtDialogView view(child, window.data());
            return view.exec();
        },
        [&window]() -> std::string {
            QFileDialog ask(window.data(), "Save As");
            ask.setAcceptMode(QFileDialog::AcceptSave);
            ask.setDefaultSuffix("txt");
            ask.setNameFilter("Log file (*.txt)");
            if (ask.exec() != QDialog::Accepted || ask.selectedFiles().isEmpty()) return {};
            return ask.selectedFiles().front().toStdString();
        });
    const QPalette palette = application.palette();
    dialog.ListCtrl().SetDefaultColours(ColourOf(palette.color(QPalette::WindowText)),
                                    ColourOf(palette.color(QPalette::Base)));
    ui::QtDialogView view(dialog);
    window = &view;
    view.setWindowIcon(QApplication::style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    dialog.OnInitDialog();
    const int result = view.exec();
    dialog.OnDestroy();
    return result == 1 || result == 2 ? 0 : result;
}
