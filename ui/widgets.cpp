// SPDX-License-Identifier: MIT
#include "ui/widgets.h"

#include <QAccessibleWidget>
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

namespace {

// A reading label as a static text whose name is what it is and whose text is the reading.
class ReadingAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit ReadingAccessible(QWidget *w) : QAccessibleWidget(w, QAccessible::StaticText) {}
    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Value ? reading() : QAccessibleWidget::text(t);
    }
    // Read-only text: no caret, no selection.
    QString text(int start, int end) const override { return reading().mid(start, end - start); }
    int characterCount() const override { return int(reading().size()); }
    void selection(int, int *start, int *end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int *start, int *end) const override
    {
        Q_UNUSED(offset);
        *start = 0; // one run of plain text
        *end = characterCount();
        return {};
    }

private:
    QString reading() const { return static_cast<QLabel *>(widget())->text(); }
};

QAccessibleInterface *readingAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("quorvane::ui::ReadingLabel"))
        return new ReadingAccessible(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

ReadingLabel::ReadingLabel(const QString &what, QWidget *parent) : QLabel(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(readingAccessible);
        return true;
    }();
    Q_UNUSED(installed);
    // A fixed name also keeps QLabel from raising a name change on every new text.
    setAccessibleName(what);
}

void ReadingLabel::paintEvent(QPaintEvent *event)
{
    QLabel::paintEvent(event);
    if (text() == announced_)
        return;
    const QString before = std::exchange(announced_, text());
    QAccessibleTextUpdateEvent changed(this, 0, before, announced_);
    QAccessible::updateAccessibility(&changed);
    emit announced(announced_);
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
