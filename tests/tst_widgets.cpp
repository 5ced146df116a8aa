// SPDX-License-Identifier: MIT
#include "paintcounter.h"
#include "ui/widgets.h"
#include "qtwarnings.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QTest>

using quorvane::ui::RepaintGate;

class TestWidgets : public QObject {
    Q_OBJECT
private slots:
    void init() { failOnQtWarnings(); }

    void gateShowsTheFirstChangeAndHoldsTheRest()
    {
        QLabel label;
        label.show();
        QVERIFY(QTest::qWaitForWindowExposed(&label));
        RepaintGate gate(40);
        QVERIFY(gate.aboutToChange(&label));
        QVERIFY(label.updatesEnabled());
        QVERIFY(!gate.aboutToChange(&label));
        QVERIFY(!label.updatesEnabled());
        QVERIFY(!gate.aboutToChange()); // deferred work waits for the gate as well
        QTRY_VERIFY(label.updatesEnabled());
        QVERIFY(gate.aboutToChange(&label)); // quiet again: shown at once
    }

    void heldWidgetPaintsBeforeItCanBeHeldAgain()
    {
        // A busy line changes the widget again right as the gate opens, before any
        // scheduled paint had its turn: the held change must have been painted by then,
        // or a widget that changes all the time would never show.
        QLabel label;
        PaintCounter counter(&label);
        label.show();
        QVERIFY(QTest::qWaitForWindowExposed(&label));
        QTest::qWait(20);
        RepaintGate gate(30);
        QVERIFY(gate.aboutToChange(&label));
        QVERIFY(!gate.aboutToChange(&label));
        label.setText(QStringLiteral("held"));
        QCoreApplication::processEvents();
        const int before = counter.paints;
        int paintedByOpen = -1;
        connect(&gate, &RepaintGate::opened, this, [&] {
            paintedByOpen = counter.paints - before;
            gate.aboutToChange(&label);
            gate.aboutToChange(&label); // held again at once
        });
        QTRY_VERIFY(paintedByOpen >= 0);
        QCOMPARE(paintedByOpen, 1);
    }
};

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
