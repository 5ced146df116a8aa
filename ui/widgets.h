// SPDX-License-Identifier: MIT
// Window-system glue: the few controls the two windows need beyond stock Qt widgets, and
// the conversion from the layout's twips to Qt's logical pixels.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QList>
#include <QPointer>
#include <QPushButton>
#include <QRect>
#include <QStringList>
#include <QTimer>

namespace quorvane::ui {

// 15 twips make one logical pixel; Qt scales logical pixels on high-DPI screens.
constexpr int px(int twips)
{
    return twips / 15;
}
constexpr QRect twips(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}

// Settings for the window system that must be made before the application object exists.
// Call first thing in main().
void prepareWindowSystem();

// The named family first, then close fallbacks narrow enough that no caption is clipped.
QFont layoutFont(const QString &family, qreal pointSize, bool bold);

// A check box drawn as a push button that stays pressed while ticked. Its value is 0 or 1;
// a user click flips it, and writing a different value from code raises valueChanged at
// once, nested in the write; writing the value it holds raises nothing.
class PushCheck : public QPushButton {
    Q_OBJECT
public:
    explicit PushCheck(const QString &caption, QWidget *parent = nullptr);
    int value() const { return isChecked() ? 1 : 0; }
    void setValue(int value) { setChecked(value != 0); }
signals:
    void valueChanged();
};

// A label that shows a reading. Screen readers get what the reading is as its name and the
// reading as its text, and hear of a new reading when the label paints it, so they are told
// no more often than a person can see it change.
class ReadingLabel : public QLabel {
    Q_OBJECT
public:
    ReadingLabel(const QString &what, QWidget *parent = nullptr);
signals:
    // Screen readers were told of this reading.
    void announced(const QString &reading);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString announced_;
};

// A label that reacts to a click.
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool pressed_ = false;
};

// A straight line between two points of its parent, drawn one pixel wide.
class LineShape : public QWidget {
    Q_OBJECT
public:
    LineShape(QPoint from, QPoint to, QColor color, QWidget *parent = nullptr);
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPoint from_;
    QPoint to_;
    QColor color_;
};

// A filled rectangle with rounded corners.
class RoundRectShape : public QWidget {
    Q_OBJECT
public:
    RoundRectShape(QColor border, QColor fill, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor border_;
    QColor fill_;
};

// Lets widgets that change often repaint at most once per interval. The first change after a
// quiet spell shows at once; changes that follow within the interval are held back and
// shown together when it ends. What the widgets hold is never delayed, only the painting.
class RepaintGate : public QObject {
    Q_OBJECT
public:
    explicit RepaintGate(int intervalMs, QObject *parent = nullptr);
    // Call right before `w` changes. Returns true when it may show the change at once.
    // With no widget, only tells whether deferred work may be done now.
    bool aboutToChange(QWidget *w = nullptr);
signals:
    // The interval ended: held widgets repaint; deferred work can be done now.
    void opened();

private:
    void open();
    QTimer timer_;
    QList<QPointer<QWidget>> held_;
};

} // namespace quorvane::ui
