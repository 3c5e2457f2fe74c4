#pragma once
// The captions of a dialog view that do not fit their controls: text wider than the room the
// style leaves for it in the control (check boxes beside their indicator, buttons inside their
// frame, labels inside their margins, group boxes along their top edge), or taller than the
// control.

#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>

#include <string>
#include <vector>

namespace uitest {

inline std::vector<std::string> ClippedCaptions(const QWidget& view) {
    std::vector<std::string> clipped;
    for (QWidget* w : view.findChildren<QWidget*>()) {
        QString text;
        QRect room;
        if (auto* check = qobject_cast<QCheckBox*>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(check);
            opt.text = text = check->text();
            room = check->style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, check);
        } else if (auto* push = qobject_cast<QPushButton*>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(push);
            opt.text = text = push->text();
            room = push->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, push);
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            text = label->text();
            room = label->contentsRect().adjusted(label->margin(), label->margin(), -label->margin(), -label->margin());
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            QStyleOptionGroupBox opt;
            opt.initFrom(group);
            opt.text = text = group->title();
            opt.lineWidth = 1;
            opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            opt.textAlignment = group->alignment();
            const QRect label = group->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, group);
            if (!group->rect().contains(label)) clipped.push_back(text.toStdString() + " (group title)");
            continue;
        } else {
            continue;
        }
        if (text.isEmpty()) continue;
        const QFontMetrics metrics(w->font());
        const int width = metrics.horizontalAdvance(text), height = metrics.height();
        if (width > room.width() || height > room.height()) {
            clipped.push_back(text.toStdString() + " (" + std::to_string(width) + "x" + std::to_string(height) +
                              " in " + std::to_string(room.width()) + "x" + std::to_string(room.height()) + ")");
        }
    }
    return clipped;
}

}  // namespace uitest
