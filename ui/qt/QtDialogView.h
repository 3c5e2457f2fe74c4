#pragma once
// The Qt Widgets view of a ui::Dialog: one widget per control at its template place, clicks and
// typing handed to the model, and the model's changes shown on the UI thread when the model wakes
// the view. Message boxes of the model's MessageBoxes are shown by QtBoxPresenter.

#include <QDialog>
#include <QPointer>

#include <map>
#include <memory>

#include "ui/Dialog.h"
#include "ui/MessageBoxes.h"

class QWidget;
class QTreeWidget;

namespace ui {

class QtDialogView : public QDialog {
public:
    explicit QtDialogView(Dialog& dialog, QWidget* parent = nullptr);
    ~QtDialogView() override;

    // The widget of a control id (null for unknown ids).
    QWidget* Widget(int id) const;
    // Pixels of dialog units, from the dialog font's average character size.
    QPoint ToPixels(int x, int y) const;
    // Pixels of a list's column width given for the dialog's font at its usual size: scaled as
    // the dialog units are.
    int ScalePixels(int pixels) const;
    // Shows every pending change of the model now.
    void Refresh();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void Build();
    void RefreshList(int id, QTreeWidget* list);

    Dialog& dialog_;
    std::map<int, QWidget*> widgets_;
    std::map<int, uint64_t> listGeneration_;
    double unitX_ = 1.5, unitY_ = 1.625;
    bool closing_ = false;
    bool shown_ = false;
};

// Shows boxes as QMessageBox windows on the UI thread. Waiting on the UI thread keeps its events
// flowing in a nested loop, as a modal box does; other threads wait for the answer.
class QtBoxPresenter : public BoxPresenter {
public:
    explicit QtBoxPresenter(QWidget* parent = nullptr) : parent_(parent) {}
    void Present(const std::shared_ptr<OpenBox>& box) override;
    void Wait(OpenBox& box) override;

private:
    QPointer<QWidget> parent_;
};

// Runs `task` on the UI thread: at once when called there, else queued.
void RunOnUiThread(std::function<void()> task);
bool OnUiThread();

}  // namespace ui
