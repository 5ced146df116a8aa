// SPDX-License-Identifier: MIT
// Streams from the board and what they must show, for every suite that shows readings: the
// protocol alone, the window on a serial line, the window on a board behind a bridge.
// Columns: stream; labels (PIR, light, in-door, out-door); log (each reading handed on, in
// order); buffer (what the receive buffer holds afterwards).
#pragma once

#include "columns.h"

#include <QByteArrayList>
#include <QTest>

inline constexpr char kFrame[] = "XPir:1YLig:64YTp1:28YTp2:31YZ";

inline void addTelemetryFrameRows()
{
    columns<QByteArray, QByteArrayList, QByteArray, QByteArray>("stream", "labels", "log",
                                                                "buffer");

    const QByteArrayList standard{"1", "64%", "28 Deg", "31 Deg"};
    const QByteArray standardLog = "P=1 L=64% I=28 Deg O=31 Deg";

    QTest::newRow("standard frame") << QByteArray(kFrame) << standard << standardLog
                                    << QByteArray("Pir:1YLig:64YTp1:28YTp2:31Y");
    QTest::newRow("other order, same labels and processing order")
        << QByteArray("XTp2:31YLig:64YTp1:28YPir:1YZ") << standard << standardLog
        << QByteArray("Tp2:31YLig:64YTp1:28YPir:1Y");
    QTest::newRow("second Z writes the same texts again")
        << QByteArray(kFrame) + "Z" << standard << standardLog + " " + standardLog
        << QByteArray("Pir:1YLig:64YTp1:28YTp2:31Y");
    QTest::newRow("empty values") << QByteArray("XPir:YLig:YTp1:YTp2:YZ")
                                  << QByteArrayList{"", "%", " Deg", " Deg"}
                                  << QByteArray("P= L=% I= Deg O= Deg")
                                  << QByteArray("Pir:YLig:YTp1:YTp2:Y");
    QTest::newRow("lower and mixed case tags and y")
        << QByteArray("Xpir:1ylIG:64yTP1:28YtP2:31yZ") << standard << standardLog
        << QByteArray("pir:1ylIG:64yTP1:28YtP2:31y");
    QTest::newRow("decimal and negative values as sent")
        << QByteArray("XPir:0YLig:7.5YTp1:21.5YTp2:-3.0YZ")
        << QByteArrayList{"0", "7.5%", "21.5 Deg", "-3.0 Deg"}
        << QByteArray("P=0 L=7.5% I=21.5 Deg O=-3.0 Deg")
        << QByteArray("Pir:0YLig:7.5YTp1:21.5YTp2:-3.0Y");
    QTest::newRow("x and z are payload")
        << QByteArray("XPir:xzYZ") << QByteArrayList{"xz", "", "", ""} << QByteArray("P=xz")
        << QByteArray("Pir:xzY");
    QTest::newRow("Y outside a reading is stored")
        << QByteArray("XYyPir:3YZ") << QByteArrayList{"3", "", "", ""} << QByteArray("P=3")
        << QByteArray("YyPir:3Y");
    QTest::newRow("Z before any X parses the initial text")
        << QByteArray("Pir:7YTp2:9YZ") << QByteArrayList{"7", "", "", "9 Deg"}
        << QByteArray("P=7 O=9 Deg") << QByteArray("Text1Pir:7YTp2:9Y");
    QTest::newRow("Z on the initial text alone shows nothing")
        << QByteArray("ZZ") << QByteArrayList{"", "", "", ""} << QByteArray()
        << QByteArray("Text1");
    QTest::newRow("frames without X pile up, first one wins")
        << QByteArray("XPir:1YLig:2YZPir:3YLig:4YZ") << QByteArrayList{"1", "2%", "", ""}
        << QByteArray("P=1 L=2% P=1 L=2%") << QByteArray("Pir:1YLig:2YPir:3YLig:4Y");
    QTest::newRow("X between frames shows the newest")
        << QByteArray("XPir:1YZXPir:0YZ") << QByteArrayList{"0", "", "", ""}
        << QByteArray("P=1 P=0") << QByteArray("Pir:0Y");
    QTest::newRow("absent tag keeps the label's previous text")
        << QByteArray(kFrame) + "XLig:5YZ" << QByteArrayList{"1", "5%", "28 Deg", "31 Deg"}
        << standardLog + " L=5%" << QByteArray("Lig:5Y");
    QTest::newRow("unterminated tag is skipped, later ones go on")
        << QByteArray(kFrame) + "XPir:0YTp2:4YTp1:7Z"
        << QByteArrayList{"0", "64%", "28 Deg", "4 Deg"} << standardLog + " P=0 O=4 Deg"
        << QByteArray("Pir:0YTp2:4YTp1:7");
    QTest::newRow("terminator search runs past the next tag")
        << QByteArray("XLig:5Pir:1YZ") << QByteArrayList{"1", "5Pir:1%", "", ""}
        << QByteArray("P=1 L=5Pir:1%") << QByteArray("Lig:5Pir:1Y");
    QTest::newRow("markup is kept as text")
        << QByteArray("XPir:<b>1</b>YZ") << QByteArrayList{"<b>1</b>", "", "", ""}
        << QByteArray("P=<b>1</b>") << QByteArray("Pir:<b>1</b>Y");
    QTest::newRow("tag split by a frame start does not match")
        << QByteArray("XPiXr:1YZ") << QByteArrayList{"", "", "", ""} << QByteArray()
        << QByteArray("r:1Y");
    QTest::newRow("lower-case y ends a value longer than 32 characters")
        << QByteArray("XLig:") + QByteArray(40, '7') + "yZ"
        << QByteArrayList{"", QByteArray(40, '7') + "%", "", ""}
        << QByteArray("L=") + QByteArray(40, '7') + "%"
        << QByteArray("Lig:") + QByteArray(40, '7') + "y";
    // Only letters fold case: a byte 0x20 away from a digit or colon is another byte.
    QTest::newRow("case bit does not fold digits or colons")
        << QByteArray("XTp\x11:5YTp1\x1a"
                      "6YPir:1YZ")
        << QByteArrayList{"1", "", "", ""} << QByteArray("P=1")
        << QByteArray("Tp\x11:5YTp1\x1a"
                      "6YPir:1Y");
    QTest::newRow("a digit or colon one bit away from a tag's is another byte")
        << QByteArray("XTp3:9YTp0:8YPir;1YZ") << QByteArrayList{"", "", "", ""} << QByteArray()
        << QByteArray("Tp3:9YTp0:8YPir;1Y");
    QTest::newRow("long values one after another, each its own")
        << "XLig:" + QByteArray(70, 'a') + "YZXLig:" + QByteArray(66, 'b') + "YZ"
        << QByteArrayList{"", QByteArray(66, 'b') + "%", "", ""}
        << "L=" + QByteArray(70, 'a') + "% L=" + QByteArray(66, 'b') + "%"
        << "Lig:" + QByteArray(66, 'b') + "Y";
    QTest::newRow("any byte value is a character")
        << QByteArray("XPir:\x00\xff\x80YZ", 10)
        << QByteArrayList{QByteArray("\x00\xff\x80", 3), "", "", ""}
        << QByteArray("P=") + QByteArray("\x00\xff\x80", 3) << QByteArray("Pir:\x00\xff\x80Y", 8);
}
