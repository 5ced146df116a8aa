// SPDX-License-Identifier: MIT
// Some faults Qt only warns of (a notifier left on a closed socket, a connection to nothing):
// a suite that calls this from init() fails on any warning. The offscreen platform's notice
// that it cannot size a message box is no fault of ours.
#pragma once

#include <QRegularExpression>
#include <QTest>

inline void failOnQtWarnings()
{
    QTest::failOnWarning(QRegularExpression(
        QStringLiteral("^(?!This plugin does not support propagateSizeHints)")));
}
