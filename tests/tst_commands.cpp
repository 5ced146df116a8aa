// SPDX-License-Identifier: MIT
#include "columns.h"
#include "protocol/commands.h"

#include <QTest>

#include <stdexcept>

using namespace quorvane::protocol;

class TestCommands : public QObject {
    Q_OBJECT
private slots:
    void loadLetter_data()
    {
        columns<int, bool, char>("load", "on", "letter");
        const char *table = "ABCDEFGHIJ";
        for (int load = 1; load <= 5; ++load) {
            for (bool on : {true, false}) {
                const char letter = table[2 * (load - 1) + (on ? 0 : 1)];
                QTest::addRow("load %d %s", load, on ? "on" : "off") << load << on << letter;
            }
        }
    }
    void loadLetter()
    {
        QFETCH(int, load);
        QFETCH(bool, on);
        QFETCH(char, letter);
        QCOMPARE(quorvane::protocol::loadLetter(load, on), letter);
        // The board reads the same letter back as the same command.
        const Command cmd = decodeCommand(letter);
        QCOMPARE(cmd.load, load);
        QVERIFY(cmd.kind == (on ? Command::Kind::LoadOn : Command::Kind::LoadOff));
    }

    void loadOutsideRangeThrows_data()
    {
        QTest::addColumn<int>("load");
        for (int load :
             {0, -1, 6, 100, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()})
            QTest::addRow("%d", load) << load;
    }
    void loadOutsideRangeThrows()
    {
        QFETCH(int, load);
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, quorvane::protocol::loadLetter(load, true));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, quorvane::protocol::loadLetter(load, false));
    }

    // All ON and All OFF, and everything else the board ignores.
    void decodedKinds_data()
    {
        columns<char, int>("byte", "kind");
        QTest::newRow("K") << 'K' << int(Command::Kind::AllOn);
        QTest::newRow("L") << 'L' << int(Command::Kind::AllOff);
        for (char c : {'M', 'Z', 'a', 'k', '@', '\0', '\n', static_cast<char>(0xFF)})
            QTest::addRow("0x%02x", static_cast<unsigned char>(c))
                << c << int(Command::Kind::Unknown);
    }
    void decodedKinds()
    {
        QFETCH(char, byte);
        QFETCH(int, kind);
        QCOMPARE(int(decodeCommand(byte).kind), kind);
        QCOMPARE(decodeCommand(byte).load, 0); // none of these names one load
    }

    void classify_data()
    {
        columns<char, int>("c", "role");
        QTest::newRow("X") << 'X' << int(CharRole::FrameStart);
        QTest::newRow("Z") << 'Z' << int(CharRole::FrameEnd);
        for (char c : {'x', 'z', 'Y', '\0', static_cast<char>(0xD8)})
            QTest::addRow("0x%02x", static_cast<unsigned char>(c)) << c << int(CharRole::Payload);
    }
    void classify()
    {
        QFETCH(char, c);
        QFETCH(int, role);
        QCOMPARE(int(quorvane::protocol::classify(c)), role);
    }
};

QTEST_APPLESS_MAIN(TestCommands)
#include "tst_commands.moc"
