// SPDX-License-Identifier: MIT
#include "columns.h"
#include "frametable.h"
#include "protocol/telemetry.h"

#include <QTest>

using namespace quorvane::protocol;

namespace {

// What the panel would show: the four labels, and every reading handed on in order.
struct Screen {
    std::string buffer{kInitialBuffer};
    QByteArrayList labels{"", "", "", ""};
    QByteArrayList log;

    auto sink()
    {
        return [this](Reading r, std::string_view text) {
            const QByteArray t(text.data(), qsizetype(text.size()));
            labels[int(r)] = t;
            log << (QByteArray(1, "PLIO"[int(r)]) + "=" + t);
        };
    }
    void feed(const QByteArray &stream)
    {
        for (char c : stream)
            receive(buffer, std::string_view(&c, 1), sink());
    }
};

} // namespace

class TestTelemetry : public QObject {
    Q_OBJECT
private slots:
    void frames_data() { addTelemetryFrameRows(); }
    void frames()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArrayList, labels);
        QFETCH(QByteArray, log);
        QFETCH(QByteArray, buffer);
        Screen screen;
        screen.feed(stream);
        QCOMPARE(screen.labels, labels);
        QCOMPARE(screen.log.join(' '), log);
        QCOMPARE(QByteArray::fromStdString(screen.buffer), buffer);
    }

    // A parse looks at the buffer it is given (`size` bytes of `memory`) and not one byte past
    // its end, whatever follows in memory (here the rest of the frame).
    void parseStaysInsideItsBuffer_data()
    {
        columns<QByteArray, int, QByteArray>("memory", "size", "log");
        QTest::newRow("a field end just past it")
            << QByteArray("Pir:1YLig:64Y") << 5 << QByteArray();
        QTest::newRow("a tag's colon just past it")
            << QByteArray("Lig:5YPir:1Y") << 9 << QByteArray("L=5%");
        QTest::newRow("a colon past a long run of text")
            << QByteArray("Lig:5Y" + QByteArray(40, 'a') + "Pir:1Y") << 49 << QByteArray("L=5%");
    }
    void parseStaysInsideItsBuffer()
    {
        QFETCH(QByteArray, memory);
        QFETCH(int, size);
        QFETCH(QByteArray, log);
        Screen screen;
        extractReadings(std::string_view(memory.constData(), std::size_t(size)), screen.sink());
        QCOMPARE(screen.log.join(' '), log);
    }

    void pieces_data()
    {
        columns<QByteArray, QByteArray, int>("piece", "buffer", "result");
        QTest::newRow("empty piece")
            << QByteArray("") << QByteArray("Text1") << int(ReceiveResult::Unchanged);
        QTest::newRow("X alone") << QByteArray("X") << QByteArray() << int(ReceiveResult::Cleared);
        QTest::newRow("Z alone") << QByteArray("Z") << QByteArray("Text1")
                                 << int(ReceiveResult::Parsed);
        QTest::newRow("lower-case x")
            << QByteArray("x") << QByteArray("Text1x") << int(ReceiveResult::Appended);
        QTest::newRow("X inside a longer piece is payload")
            << QByteArray("XZ") << QByteArray("Text1XZ") << int(ReceiveResult::Appended);
        QTest::newRow("Z with trailing blank is payload")
            << QByteArray("Z ") << QByteArray("Text1Z ") << int(ReceiveResult::Appended);
    }
    void pieces()
    {
        QFETCH(QByteArray, piece);
        QFETCH(QByteArray, buffer);
        QFETCH(int, result);
        Screen screen;
        const auto got = receive(screen.buffer, std::string_view(piece.constData(), piece.size()),
                                 screen.sink());
        QCOMPARE(int(got), result);
        QCOMPARE(QByteArray::fromStdString(screen.buffer), buffer);
        QVERIFY(screen.log.isEmpty());
    }

    void bound_data()
    {
        columns<QByteArray, QByteArray>("head", "firstPir");
        QTest::newRow("filler only") << QByteArray() << QByteArray();
        QTest::newRow("a frame, then a board that never sends X")
            << QByteArray("Pir:1Y") << QByteArray("1");
    }
    void bound()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, firstPir);
        Screen screen;
        screen.feed("X" + head);
        // Far more than the bound, with a tag that would win if it were kept.
        screen.feed(QByteArray(int(kBufferBound), 'a') + "Pir:2Y");
        QCOMPARE(screen.buffer.size(), kBufferBound);
        QCOMPARE(QByteArray::fromStdString(screen.buffer.substr(0, head.size())), head);
        std::string one = "b";
        QCOMPARE(int(receive(screen.buffer, one, screen.sink())), int(ReceiveResult::Unchanged));
        QCOMPARE(int(receive(screen.buffer, "bcd", screen.sink())), int(ReceiveResult::Unchanged));
        screen.feed("Z");
        QCOMPARE(screen.labels[0], firstPir);
        screen.feed("X");
        QVERIFY(screen.buffer.empty());
        screen.feed(kFrame);
        QCOMPARE(screen.labels, (QByteArrayList{"1", "64%", "28 Deg", "31 Deg"}));
    }

    void multiCharacterPieceIsCutAtTheBound()
    {
        std::string buffer(kBufferBound - 2, 'a');
        receive(buffer, "Pir:", [](Reading, std::string_view) {});
        QCOMPARE(buffer.size(), kBufferBound);
        QCOMPARE(buffer.substr(kBufferBound - 2), std::string("Pi"));
    }

    // What goes out as a number in the bridge's state and the readings log.
    void plainNumbers_data()
    {
        columns<QByteArray, bool>("value", "number");
        for (const char *yes : {"0", "-4", "21.5", "-3.0", "123456789012345", "1.123456789012345"})
            QTest::newRow(yes) << QByteArray(yes) << true;
        for (const char *no : {"", "-", "+1", "1.", ".5", "1e3", "1,5", "1 ", "1\n", "--1",
                               "1234567890123456", "1.1234567890123456", "0x1"})
            QTest::newRow(no) << QByteArray(no) << false;
    }
    void plainNumbers()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, number);
        QCOMPARE(isPlainNumber(std::string_view(value.constData(), std::size_t(value.size()))),
                 number);
    }
};

QTEST_APPLESS_MAIN(TestTelemetry)
#include "tst_telemetry.moc"
