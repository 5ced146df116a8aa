// SPDX-License-Identifier: MIT
// Closes the next message box by clicking its button, as a user would, and remembers what
// it said. (Merely accepting a box makes the static helpers report no button.)
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
    Qt::TextFormat format = Qt::AutoText;
};

class BoxCloser : public QObject {
public:
    BoxCloser()
    {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            SeenBox seen;
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.icon = box->icon();
            seen.buttons = int(box->buttons().size());
            seen.format = box->textFormat();
            boxes << seen;
            box->button(QMessageBox::Ok)->click();
        });
        timer_.start(5);
    }
    QList<SeenBox> boxes;

private:
    QTimer timer_;
};
