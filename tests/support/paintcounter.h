// SPDX-License-Identifier: MIT
// Counts the paints that reach a widget: what tests compare repaints and announcements with.
#pragma once

#include <QEvent>
#include <QObject>

struct PaintCounter : QObject {
    int paints = 0;
    explicit PaintCounter(QObject *target) { target->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};
