#include "QtDialogView.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QThread>
#include <QTreeWidget>

namespace ui {

bool OnUiThread() { return QCoreApplication::instance() && QThread::currentThread() == qApp->thread(); }

void RunOnUiThread(std::function<void()> task) {
    if (OnUiThread()) {
        task();
        return;
    }
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
    }
}

namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string S(const QString& text) { return text.toUtf8().toStdString(); }
QColor ColourOf(Colour c) { return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF); }

}  // namespace

QtDialogView::QtDialogView(Dialog& dialog, QWidget* parent) : QDialog(parent), dialog_(dialog) {
    const DialogSpec& def = dialog_.Spec();
    setWindowTitle(Q(def.caption));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    QFont font = this->font();
    if (def.fontSize > 0) font.setPointSize(def.fontSize + 1);
    setFont(font);
    // Dialog units: a quarter of the average character width and an eighth of the line height.
    QFontMetrics metrics(font);
    const QString alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    unitX_ = metrics.horizontalAdvance(alphabet) / 52.0 / 4.0;
    unitY_ = metrics.height() / 8.0;
    const QPoint size = ToPixels(def.width, def.height);
    setFixedSize(size.x(), size.y());
    Build();
    // The system menu's extra items: the window's context menu on this platform.
    for (const MenuItem& item : def.systemMenu) {
        auto* action = new QAction(Q(item.text), this);
        const int command = item.command;
        connect(action, &QAction::triggered, this, [this, command] { dialog_.SystemCommand(command); });
        addAction(action);
    }
    if (!def.systemMenu.empty()) setContextMenuPolicy(Qt::ActionsContextMenu);
    QPointer<QtDialogView> self(this);
    dialog_.SetWake([self] {
        RunOnUiThread([self] {
            if (self) self->Refresh();
        });
    });
    Refresh();
}

QtDialogView::~QtDialogView() { dialog_.SetWake(nullptr); }

QPoint QtDialogView::ToPixels(int x, int y) const {
    return QPoint(static_cast<int>(x * unitX_ + 0.5), static_cast<int>(y * unitY_ + 0.5));
}

int QtDialogView::ScalePixels(int pixels) const {
    // A dialog unit is 1.5 pixels wide with the dialogs' usual 8-point font.
    return static_cast<int>(pixels * unitX_ / 1.5 + 0.5);
}

QWidget* QtDialogView::Widget(int id) const {
    auto it = widgets_.find(id);
    return it == widgets_.end() ? nullptr : it->second;
}

void QtDialogView::Build() {
    for (const ControlSpec& c : dialog_.Spec().controls) {
        QWidget* widget = nullptr;
        const int id = c.id;
        switch (c.kind) {
            case ControlKind::Button: {
                auto* button = new QPushButton(Q(c.text), this);
                button->setAutoDefault(false);
                button->setDefault((c.flags & kDefault) != 0);
                connect(button, &QPushButton::clicked, this, [this, id] { dialog_.Click(id); });
                widget = button;
                break;
            }
            case ControlKind::Edit: {
                auto* edit = new QLineEdit(Q(c.text), this);
                if (c.flags & kNumber) {
                    edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
                }
                connect(edit, &QLineEdit::textEdited, this,
                        [this, id](const QString& text) { dialog_.TextFromView(id, S(text)); });
                widget = edit;
                break;
            }
            case ControlKind::Static:
            case ControlKind::Label: {
                auto* label = new QLabel(Q(c.text), this);
                label->setAlignment((c.flags & kCentred) ? Qt::AlignHCenter | Qt::AlignVCenter
                                                         : Qt::AlignLeft | Qt::AlignVCenter);
                widget = label;
                break;
            }
            case ControlKind::GroupBox: {
                auto* group = new QGroupBox(Q(c.text), this);
                group->lower();
                widget = group;
                break;
            }
            case ControlKind::CheckBox: {
                auto* check = new QCheckBox(Q(c.text), this);
                connect(check, &QCheckBox::toggled, this, [this, id](bool on) { dialog_.CheckedFromView(id, on); });
                widget = check;
                break;
            }
            case ControlKind::List: {
                auto* list = new QTreeWidget(this);
                list->setRootIsDecorated(false);
                list->setSelectionMode(QAbstractItemView::ExtendedSelection);
                list->setSelectionBehavior(QAbstractItemView::SelectRows);
                list->setUniformRowHeights(true);
                list->header()->setSectionsClickable(true);
                list->header()->setStretchLastSection(false);
                connect(list->header(), &QHeaderView::sectionClicked, this,
                        [this, id](int column) { dialog_.ColumnClick(id, column); });
                widget = list;
                break;
            }
        }
        const QPoint at = ToPixels(c.place.x, c.place.y);
        QPoint size = ToPixels(c.place.width, c.place.height);
        // The indicator of a check box keeps its size whatever the font, so the template's width
        // can fall short of indicator and caption: the box grows to its caption.
        if (c.kind == ControlKind::CheckBox) size.setX(std::max(size.x(), widget->sizeHint().width()));
        widget->setGeometry(at.x(), at.y(), size.x(), size.y());
        if (id != 0) {
            widget->setObjectName(QString("control%1").arg(id));
            widgets_[id] = widget;
        }
        if (c.flags & kHidden) widget->hide();
        if (c.flags & kDisabled) widget->setEnabled(false);
    }
}

void QtDialogView::Refresh() {
    std::set<int> dirty = dialog_.TakeDirty();
    // The first time every control shows its model state.
    if (!shown_) {
        for (const auto& [id, widget] : widgets_) dirty.insert(id);
        shown_ = true;
    }
    for (int id : dirty) {
        if (id == 0) {
            closing_ = true;
            done(dialog_.EndedWith());
            continue;
        }
        QWidget* widget = Widget(id);
        if (widget == nullptr) continue;
        widget->setEnabled(dialog_.Enabled(id));
        widget->setVisible(dialog_.Visible(id));
        const QString text = Q(dialog_.Text(id));
        if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            if (edit->text() != text) edit->setText(text);
        } else if (auto* button = qobject_cast<QCheckBox*>(widget)) {
            button->setText(text);
            button->setChecked(dialog_.Checked(id));
        } else if (auto* push = qobject_cast<QPushButton*>(widget)) {
            push->setText(text);
        } else if (auto* label = qobject_cast<QLabel*>(widget)) {
            label->setText(text);
        } else if (auto* list = qobject_cast<QTreeWidget*>(widget)) {
            RefreshList(id, list);
        }
    }
}

void QtDialogView::RefreshList(int id, QTreeWidget* list) {
    // New rows are appended; any other change (columns, clearing, sorting) shows the list anew.
    auto known = listGeneration_.find(id);
    size_t first = known == listGeneration_.end() ? 0 : static_cast<size_t>(list->topLevelItemCount());
    ListSnapshot snapshot = dialog_.ListFrom(id, first);
    if (known == listGeneration_.end() || known->second != snapshot.generation) {
        if (first != 0) snapshot = dialog_.ListFrom(id, 0);
        list->clear();
        QStringList names;
        for (const ListColumn& column : snapshot.columns) names << Q(column.name);
        list->setColumnCount(static_cast<int>(snapshot.columns.size()));
        list->setHeaderLabels(names);
        for (int i = 0; i < static_cast<int>(snapshot.columns.size()); ++i) {
            list->setColumnWidth(i, ScalePixels(snapshot.columns[static_cast<size_t>(i)].width));
        }
    }
    listGeneration_[id] = snapshot.generation;
    QList<QTreeWidgetItem*> items;
    for (const ListRow& row : snapshot.rows) {
        auto* item = new QTreeWidgetItem();
        for (int i = 0; i < static_cast<int>(row.texts.size()); ++i) {
            item->setText(i, Q(row.texts[static_cast<size_t>(i)]));
            if (static_cast<size_t>(i) < row.textColours.size()) {
                item->setForeground(i, ColourOf(row.textColours[static_cast<size_t>(i)]));
            }
            if (static_cast<size_t>(i) < row.backColours.size()) {
                item->setBackground(i, ColourOf(row.backColours[static_cast<size_t>(i)]));
            }
        }
        items << item;
    }
    list->addTopLevelItems(items);
    if (snapshot.sortColumn >= 0) {
        list->header()->setSortIndicatorShown(true);
        // The arrow points up for ascending.
        list->header()->setSortIndicator(snapshot.sortColumn,
                                         snapshot.ascending ? Qt::DescendingOrder : Qt::AscendingOrder);
    } else {
        list->header()->setSortIndicatorShown(false);
    }
    if (!items.isEmpty()) list->scrollToBottom();
}

void QtDialogView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        for (const ControlSpec& c : dialog_.Spec().controls) {
            if (c.kind == ControlKind::Button && (c.flags & kDefault)) {
                dialog_.Click(c.id);
                break;
            }
        }
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        dialog_.Cancel();
        return;
    }
    QDialog::keyPressEvent(event);
}

void QtDialogView::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    event->ignore();
    dialog_.Cancel();
}

void QtDialogView::reject() {
    if (closing_) {
        QDialog::reject();
        return;
    }
    dialog_.Cancel();
}

// --- message boxes --------------------------------------------------------------------------------

namespace {

QMessageBox::Icon IconOf(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::Warning: return QMessageBox::Warning;
        case BoxIcon::Error: return QMessageBox::Critical;
        case BoxIcon::Information: return QMessageBox::Information;
        case BoxIcon::Question: return QMessageBox::Question;
        case BoxIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton ButtonOf(BoxResult result) {
    switch (result) {
        case BoxResult::Ok: return QMessageBox::Ok;
        case BoxResult::Cancel: return QMessageBox::Cancel;
        case BoxResult::Yes: return QMessageBox::Yes;
        case BoxResult::No: return QMessageBox::No;
        case BoxResult::None: break;
    }
    return QMessageBox::NoButton;
}

}  // namespace

void QtBoxPresenter::Present(const std::shared_ptr<OpenBox>& box) {
    QPointer<QWidget> parent = parent_;
    RunOnUiThread([box, parent] {
        if (box->Answered()) return;
        const BoxRequest& request = box->Request();
        QMessageBox::StandardButtons buttons;
        for (BoxResult result : ButtonsOf(request.buttons)) buttons |= ButtonOf(result);
        auto* window = new QMessageBox(IconOf(request.icon), Q(request.caption), Q(request.text), buttons,
                                       parent.data());
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setWindowModality(Qt::ApplicationModal);
        QObject::connect(window, &QMessageBox::buttonClicked, window, [box, window](QAbstractButton* button) {
            switch (window->standardButton(button)) {
                case QMessageBox::Ok: box->Answer(BoxResult::Ok); break;
                case QMessageBox::Cancel: box->Answer(BoxResult::Cancel); break;
                case QMessageBox::Yes: box->Answer(BoxResult::Yes); break;
                case QMessageBox::No: box->Answer(BoxResult::No); break;
                default: break;
            }
        });
        // Closed by the window's close box or Esc: answered with Cancel, or with the last button.
        QObject::connect(window, &QDialog::finished, window, [box] {
            const std::vector<BoxResult> all = ButtonsOf(box->Request().buttons);
            const bool hasCancel = std::find(all.begin(), all.end(), BoxResult::Cancel) != all.end();
            box->Answer(hasCancel ? BoxResult::Cancel : all.back());
        });
        QPointer<QMessageBox> shown(window);
        box->AddOnAnswered([shown](BoxResult) {
            RunOnUiThread([shown] {
                if (shown && shown->isVisible()) shown->done(0);
            });
        });
        window->show();
    });
}

void QtBoxPresenter::Wait(OpenBox& box) {
    if (!OnUiThread()) {
        box.Wait();
        return;
    }
    QEventLoop loop;
    QPointer<QEventLoop> guard(&loop);
    box.AddOnAnswered([guard](BoxResult) {
        RunOnUiThread([guard] {
            if (guard) guard->quit();
        });
    });
    if (!box.Answered()) loop.exec();
}

}  // namespace ui
