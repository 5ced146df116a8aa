// SPDX-License-Identifier: MIT
#include "protocol/telemetry.h"
#include "simulator/board.h"
#include "simulator/runner.h"

#include <QElapsedTimer>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace quorvane::sim;
using quorvane::protocol::Reading;

class TestSimulator : public QObject {
    Q_OBJECT
private slots:
    void lettersSwitchTheRightLoads_data()
    {
        QTest::addColumn<QByteArray>("letters");
        QTest::addColumn<QString>("loads");
        QTest::newRow("A") << QByteArray("A") << "1 0 0 0 0";
        QTest::newRow("C E") << QByteArray("CE") << "0 1 1 0 0";
        QTest::newRow("I then J") << QByteArray("IJ") << "0 0 0 0 0";
        QTest::newRow("G") << QByteArray("G") << "0 0 0 1 0";
        QTest::newRow("K") << QByteArray("K") << "1 1 1 1 1";
        QTest::newRow("K D H") << QByteArray("KDH") << "1 0 1 0 1";
        QTest::newRow("K L") << QByteArray("KL") << "0 0 0 0 0";
        QTest::newRow("unknown bytes change nothing") << QByteArray("Ia\0M\xff", 5) << "0 0 0 0 1";
    }
    void lettersSwitchTheRightLoads()
    {
        QFETCH(QByteArray, letters);
        QFETCH(QString, loads);
        Board board;
        for (char c : letters)
            board.handle(c);
        QCOMPARE(QString::fromStdString(board.loadsText()), "loads: " + loads);
    }

    void logLines()
    {
        Board board;
        QCOMPARE(QString::fromStdString(board.handle('L')),
                 QStringLiteral("L -> all off   loads: 0 0 0 0 0"));
        QCOMPARE(QString::fromStdString(board.handle('q')),
                 QStringLiteral("0x71 -> ignored (1 so far)"));
        QCOMPARE(board.ignored(), 1u);
    }

    void framesParseBackWithPlausibleValues_data()
    {
        QTest::addColumn<bool>("decimals");
        QTest::newRow("integers") << false;
        QTest::newRow("one decimal") << true;
    }
    void framesParseBackWithPlausibleValues()
    {
        QFETCH(bool, decimals);
        Sensors sensors(42);
        std::string buffer;
        for (int i = 0; i < 500; ++i) {
            const std::string frame = formatFrame(sensors.next(), decimals);
            int seen = 0;
            for (char c : frame) {
                quorvane::protocol::receive(
                    buffer, std::string_view(&c, 1), [&](Reading r, std::string_view text) {
                        QCOMPARE(int(r), seen++);
                        const QString t = QString::fromLatin1(text.data(), qsizetype(text.size()));
                        const double v = t.section(QLatin1Char(' '), 0, 0).remove('%').toDouble();
                        QCOMPARE(t.contains('.'), decimals && r != Reading::Pir);
                        switch (r) {
                        case Reading::Pir:
                            QVERIFY(t == "0" || t == "1");
                            break;
                        case Reading::Light:
                            QVERIFY(t.endsWith('%') && v >= 0 && v <= 100);
                            break;
                        case Reading::InDoor:
                            QVERIFY(t.endsWith(" Deg") && v >= 18 && v <= 26);
                            break;
                        case Reading::OutDoor:
                            QVERIFY(t.endsWith(" Deg") && v >= -5 && v <= 35);
                            break;
                        }
                    });
            }
            QCOMPARE(seen, 4);
        }
    }

    void sameSeedSameReadings()
    {
        Sensors a(7), b(7), c(8);
        std::string fa, fb, fc;
        for (int i = 0; i < 20; ++i) {
            fa += formatFrame(a.next(), true);
            fb += formatFrame(b.next(), true);
            fc += formatFrame(c.next(), true);
        }
        QCOMPARE(fa, fb);
        QVERIFY(fa != fc);
    }

    void servesAPseudoTerminalAndStopsAfterCount()
    {
        std::ostringstream log;
        Options options;
        options.intervalMs = 20;
        options.count = 3;
        options.seed = 1;
        options.link =
            QDir::tempPath().toStdString() + "/quorvane-test-link-" + std::to_string(::getpid());
        Runner runner(options, log);
        const std::string path = runner.open();
        QVERIFY(QFileInfo(QString::fromStdString(options.link)).isSymLink());
        const int fd = ::open(options.link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "AKLq", 4), ssize_t(4));

        std::atomic<bool> stop{false};
        int status = -1;
        std::thread board([&] { status = runner.run(stop); });
        QByteArray got;
        // A deadline only for a board that never sends; a busy machine just takes longer.
        QElapsedTimer waited;
        waited.start();
        while (got.count('Z') < 3 && waited.elapsed() < 60000) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 10);
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, n);
        }
        board.join(); // --count ends the run by itself
        ::close(fd);
        QCOMPARE(status, 0);
        QCOMPARE(runner.framesSent(), 3LL);
        QCOMPARE(got.count('X'), 3);
        QVERIFY(got.startsWith("XPir:"));
        QCOMPARE(runner.board().loadsText(), std::string("loads: 0 0 0 0 0"));
        QCOMPARE(runner.board().ignored(), 1u);
        QVERIFY(log.str().find("K -> all on") != std::string::npos);
    }

    void stopRequestEndsTheRun()
    {
        std::ostringstream log;
        Runner runner(Options{}, log);
        const std::string path = runner.open();
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        std::atomic<bool> stop{false};
        std::thread board([&] { runner.run(stop); });
        // Stop once the run is under way (its first frame is out), however long that takes.
        QElapsedTimer waited;
        waited.start();
        QByteArray got;
        while (!got.contains('X') && waited.elapsed() < 60000) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, 50);
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, n);
        }
        stop = true;
        board.join();
        ::close(fd);
        QVERIFY(got.contains('X'));
        QVERIFY(runner.framesSent() >= 1);
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
