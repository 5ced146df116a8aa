// SPDX-License-Identifier: MIT
#include "ui/widgets.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QTest>

using quorvane::ui::RepaintGate;

namespace {

struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

class TestWidgets : public QObject {
    Q_OBJECT
private slots:
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
        PaintCounter counter;
        label.installEventFilter(&counter);
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
