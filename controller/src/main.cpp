// Tessik_VDM_Controller: the operator's dialog onto a running service.

#include <QApplication>
#include <QStyle>

#include "NavikVdmControllerApp.h"
#include "QtDialogView.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    ui::QtBoxPresenter presenter;
    ui::MessageBoxes boxes(&presenter);
    CNavikVdmControllerApp app;
    return app.InitInstance(boxes, [](CNavikVdmControllerDlg& dialog) {
        ui::QtDialogView view(dialog);
        view.setWindowIcon(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon));
        return view.exec();
    });
}
