// SPDX-License-Identifier: MIT
#include "ui/widgets.h"

#include <QMouseEvent>
#include <QPainter>

#include <utility>

namespace quorvane::ui {

void prepareWindowSystem()
{
    // The panel flushes a few small labels ten times a second. On X11, Qt hands each flush
    // over in shared memory and waits for the server's completion event, which wakes the
    // program twice per flush; copying a few hundred pixels through the socket is cheaper.
    // A user's own setting wins.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
}

QFont layoutFont(const QString &family, qreal pointSize, bool bold)
{
    QFont font;
    // Condensed DejaVu keeps every caption inside its box where the named family is missing.
    font.setFamilies(
        {family, QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans")});
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

PushCheck::PushCheck(const QString &caption, QWidget *parent) : QPushButton(caption, parent)
{
    setCheckable(true);
    // toggled follows every value change, user click or code, and is emitted synchronously.
    connect(this, &QPushButton::toggled, this, &PushCheck::valueChanged);
}

void ClickLabel::mousePressEvent(QMouseEvent *event)
{
    pressed_ = event->button() == Qt::LeftButton;
    event->accept();
}

void ClickLabel::mouseReleaseEvent(QMouseEvent *event)
{
    const bool click = pressed_ && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    pressed_ = false;
    event->accept();
    if (click)
        emit clicked();
}

LineShape::LineShape(QPoint from, QPoint to, QColor color, QWidget *parent)
    : QWidget(parent), from_(from), to_(to), color_(color)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(QRect(from, to).normalized().adjusted(0, 0, 1, 1));
}

void LineShape::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setPen(QPen(color_, 1));
    p.drawLine(from_ - pos(), to_ - pos());
}

RoundRectShape::RoundRectShape(QColor border, QColor fill, QWidget *parent)
    : QWidget(parent), border_(border), fill_(fill)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void RoundRectShape::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(border_, 1));
    p.setBrush(fill_);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
}

RepaintGate::RepaintGate(int intervalMs, QObject *parent) : QObject(parent)
{
    timer_.setSingleShot(true);
    timer_.setInterval(intervalMs);
    connect(&timer_, &QTimer::timeout, this, &RepaintGate::open);
}

bool RepaintGate::aboutToChange(QWidget *w)
{
    if (!timer_.isActive()) {
        timer_.start();
        return true;
    }
    if (w && w->updatesEnabled()) {
        w->setUpdatesEnabled(false);
        held_ << w;
    }
    return false;
}

void RepaintGate::open()
{
    const auto held = std::exchange(held_, {});
    for (const QPointer<QWidget> &w : held) {
        if (!w)
            continue;
        w->setUpdatesEnabled(true);
        // Paint now: a repaint merely scheduled could find the widget held again by then,
        // and a widget held through every paint would never show.
        w->repaint();
    }
    emit opened();
}

} // namespace quorvane::ui
