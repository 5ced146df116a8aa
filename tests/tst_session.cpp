// SPDX-License-Identifier: MIT
// The board session alone, on a pseudo-terminal, with no broker and no face: the line, the
// readings, the one command path and its All OFF rule, silence, the restore, and who gave
// each command.
#include "board/session.h"
#include "columns.h"
#include "ptyhelper.h"
#include "qtwarnings.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using quorvane::board::Origin;
using quorvane::board::Session;
using quorvane::board::SessionOptions;

namespace {

// A session on a board of the test's own behind a link that can be re-pointed (unplugged and
// plugged back).
struct SessionRig : PluggableBoard {
    std::unique_ptr<Session> session;
    QStringList log;

    explicit SessionRig(SessionOptions options = {}, bool plugged = true)
    {
        if (plugged)
            plug();
        options.device = link;
        session = std::make_unique<Session>(options);
        session->setLogSink([this](quorvane::board::Level, const QString &l) { log << l; });
        session->start();
    }
    // "1" on, "0" off, "-" never commanded, for loads 1 to 5.
    QString loads() const
    {
        QString s;
        for (int n = 1; n <= 5; ++n) {
            const auto on = session->load(n);
            s += !on ? QLatin1Char('-') : *on ? QLatin1Char('1') : QLatin1Char('0');
        }
        return s;
    }
    // "3on", "5off", "allon", "alloff", "raw:BYTES", as `origin` gave them.
    std::optional<QString> run(const QString &step, const Origin &origin = {})
    {
        if (step.startsWith(QLatin1String("raw:")))
            return session->sendRaw(step.mid(4).toLatin1(), origin);
        const bool on = step.endsWith(QLatin1String("on"));
        if (step.startsWith(QLatin1String("all")))
            return session->switchAll(on, origin);
        return session->switchLoad(step.left(1).toInt(), on, origin);
    }
};

} // namespace

// A rig whose line opened, or the test stops there.
#define QUORVANE_OPEN_RIG(name, ...)                                                               \
    SessionRig name{__VA_ARGS__};                                                                  \
    QTRY_VERIFY(name.session->lineOpen())

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void init() { failOnQtWarnings(); }

    void commandsTakeOnePath_data()
    {
        QTest::addColumn<QString>("steps"); // split at blanks
        columns<QByteArray, QString>("letters", "loads");
        QTest::newRow("load 1 on") << "1on" << QByteArray("A") << "1----";
        QTest::newRow("load 3 off") << "3off" << QByteArray("F") << "--0--";
        QTest::newRow("load 5 on") << "5on" << QByteArray("I") << "----1";
        QTest::newRow("all on") << "allon" << QByteArray("K") << "11111";
        QTest::newRow("all off, none on") << "alloff" << QByteArray("L") << "00000";
        QTest::newRow("all off after 2 and 4")
            << "2on 4on alloff" << QByteArray("CGLDH") << "00000";
        QTest::newRow("all off after all on") << "allon alloff" << QByteArray("KLBDFHJ") << "00000";
        QTest::newRow("all off after 2 on and off")
            << "2on 2off alloff" << QByteArray("CDL") << "00000";
        QTest::newRow("all on after 5 off") << "5off allon" << QByteArray("JK") << "11111";
        QTest::newRow("raw bytes change no load") << "raw:AZ" << QByteArray("AZ") << "-----";
    }
    void commandsTakeOnePath()
    {
        QFETCH(QString, steps);
        QFETCH(QByteArray, letters);
        QFETCH(QString, loads);
        QUORVANE_OPEN_RIG(rig);
        for (const QString &step : steps.split(QLatin1Char(' ')))
            QCOMPARE(rig.run(step), std::nullopt);
        QCOMPARE(rig.board->read(int(letters.size())), letters);
        QCOMPARE(rig.loads(), loads);
    }

    void aClosedLineTakesNoCommand_data()
    {
        QTest::addColumn<QString>("step");
        for (const char *step : {"2on", "alloff", "raw:A"})
            QTest::newRow(step) << QString::fromLatin1(step);
    }
    void aClosedLineTakesNoCommand()
    {
        QFETCH(QString, step);
        QUORVANE_OPEN_RIG(rig);
        rig.session->stop();
        QSignalSpy commanded(rig.session.get(), &Session::loadCommanded);
        const auto error = rig.run(step);
        QVERIFY(error && error->contains(QLatin1String("line is not open")));
        QCOMPARE(rig.loads(), QStringLiteral("-----"));
        QCOMPARE(commanded.size(), 0);
    }

    void originIsLoggedAndHandedOn_data()
    {
        columns<int, QString>("kind", "peer");
        QTest::addColumn<QString>("from"); // as the log line for load 4 on ends
        QTest::newRow("mqtt") << int(Origin::Kind::Mqtt) << QString() << "MQTT";
        QTest::newRow("remote panel")
            << int(Origin::Kind::RemotePanel) << QString() << "a remote panel";
        QTest::newRow("web") << int(Origin::Kind::Web) << "127.0.0.7"
                             << "the web page (127.0.0.7)";
    }
    void originIsLoggedAndHandedOn()
    {
        QFETCH(int, kind);
        QFETCH(QString, peer);
        QFETCH(QString, from);
        QUORVANE_OPEN_RIG(rig);
        Origin seen{Origin::Kind::Restore, {}};
        connect(rig.session.get(), &Session::loadCommanded, this,
                [&](int, bool, const Origin &o) { seen = o; });
        QCOMPARE(rig.run(QStringLiteral("4on"), {Origin::Kind(kind), peer}), std::nullopt);
        QCOMPARE(int(seen.kind), kind);
        QCOMPARE(seen.peer, peer);
        QVERIFY2(rig.log.contains("load 4 on (G) from " + from),
                 qPrintable(rig.log.join(QLatin1Char('\n'))));
    }

    // The journal shows the bytes sent as text: control bytes escaped, past 16 cut.
    void sentBytesAreJournalledAsText()
    {
        QUORVANE_OPEN_RIG(rig);
        for (const auto &[sent, shown] :
             {std::pair{" ~\x1f\x7fghijklmnopq\x80r", " ~\\x1f\\x7fghijklmnopq\\x80..."},
              std::pair{"0123456789abcdef", "0123456789abcdef"}}) {
            QCOMPARE(rig.run(QLatin1String("raw:") + QLatin1String(sent)), std::nullopt);
            QVERIFY2(rig.log.contains(
                         QStringLiteral("raw bytes (%1) from MQTT").arg(QLatin1String(shown))),
                     qPrintable(rig.log.join(QLatin1Char('\n'))));
        }
    }

    void readingsAndWhatChanged()
    {
        QUORVANE_OPEN_RIG(rig);
        QSignalSpy ended(rig.session.get(), &Session::frameEnded);
        rig.board->write(QByteArray("XPir:1YLig:64YTp1:28YTp2:-4YZ").repeated(2) +
                         "XPir:0YLig:64YTp1:29YZ");
        QTRY_COMPARE(ended.size(), 3);
        QCOMPARE(ended[0][0].toUInt(), 0b1111u); // all new
        QCOMPARE(ended[1][0].toUInt(), 0u);      // the same again
        QCOMPARE(ended[2][0].toUInt(), 0b0101u); // PIR and in-door; out-door kept
        QCOMPARE(*rig.session->reading(1), QStringLiteral("64%"));
        QCOMPARE(rig.session->boardValue(1), QStringLiteral("64"));
        QCOMPARE(*rig.session->reading(3), QStringLiteral("-4 Deg"));
        const auto h = rig.session->health();
        QCOMPARE(h.counters.frames, quint64(3));
        QCOMPARE(h.framesLastMinute, 3);
        QVERIFY(h.newestFrame && h.newestFrameAgeMs && h.lineOpen && h.available);
        QTRY_VERIFY(rig.session->health().uptimeMs > 0); // counted from the start
    }

    // Frames in the last minute: the milliseconds of uptime they ended at, then the one asked.
    void framesInTheLastMinute_data()
    {
        columns<QList<int>, int>("ms", "count");
        QTest::newRow("none") << QList<int>{0} << 0;
        QTest::newRow("three in one second") << QList<int>{5000, 5000, 5999, 5500} << 3;
        QTest::newRow("just short of a minute on") << QList<int>{0, 59999} << 1;
        QTest::newRow("a minute on") << QList<int>{999, 60000} << 0;
        QTest::newRow("the same slot a minute on") << QList<int>{3000, 63000, 63000} << 1;
        QTest::newRow("over the minute") << QList<int>{1000, 30000, 61000, 89000, 89999} << 3;
        QTest::newRow("two quiet minutes on") << QList<int>{1000, 120000} << 0;
        QTest::newRow("a long quiet, then one") << QList<int>{10000, 11000, 200000, 200000} << 1;
    }
    void framesInTheLastMinute()
    {
        QFETCH(QList<int>, ms);
        QFETCH(int, count);
        quorvane::board::MinuteCount minute;
        for (int frame : ms.first(ms.size() - 1))
            minute.add(frame);
        QCOMPARE(minute.total(ms.last()), std::uint64_t(count));
    }

    void silenceMakesTheBoardUnavailable_data()
    {
        columns<int, bool>("silenceMs", "silent");
        QTest::newRow("300 ms") << 300 << true;
        QTest::newRow("never") << 0 << false;
    }
    void silenceMakesTheBoardUnavailable()
    {
        QFETCH(int, silenceMs);
        QFETCH(bool, silent);
        SessionOptions o;
        o.silenceMs = silenceMs;
        SessionRig rig(o);
        QTRY_VERIFY(rig.session->available());
        QTest::qWait(800); // over twice the silence: it is said once, not again and again
        QCOMPARE(rig.session->silent(), silent);
        QCOMPARE(rig.session->health().silent, silent);
        QCOMPARE(rig.session->available(), !silent);
        rig.board->write("XPir:1YZ");
        QTRY_VERIFY(rig.session->available()); // back with the next frame
        QCOMPARE(rig.session->health().silent, false);
        QCOMPARE(rig.log.count(QStringLiteral(
                     "no frame from the board for 0.3 s: it is offline until it sends again")),
                 silent ? 1 : 0);
        QCOMPARE(rig.log.count(QStringLiteral("the board is sending again")), silent ? 1 : 0);
    }

    void theRestoreAfterALineLoss_data()
    {
        columns<bool, QByteArray>("restore", "letters");
        QTest::newRow("restores") << true << QByteArray("CH");
        QTest::newRow("--no-restore-loads") << false << QByteArray();
    }
    void theRestoreAfterALineLoss()
    {
        QFETCH(bool, restore);
        QFETCH(QByteArray, letters);
        SessionOptions o;
        o.restoreLoads = restore;
        QUORVANE_OPEN_RIG(rig, o);
        QSignalSpy commanded(rig.session.get(), &Session::loadCommanded);
        QCOMPARE(rig.run(QStringLiteral("2on")), std::nullopt);
        QCOMPARE(rig.run(QStringLiteral("4off")), std::nullopt);
        rig.board->read(2);
        rig.board.reset(); // unplugged
        QTRY_VERIFY(!rig.session->lineOpen());
        rig.plug();
        QTRY_VERIFY_WITH_TIMEOUT(rig.session->lineOpen(), 3 * Session::kLineRetryMs);
        QCOMPARE(rig.board->read(int(letters.size()), letters.isEmpty() ? 300 : 2000), letters);
        QCOMPARE(rig.session->health().counters.lineLosses, quint64(1));
        // The restore commands nothing new.
        QCOMPARE(commanded.size(), 2);
        QCOMPARE(rig.log.filter(QStringLiteral("from the restore after a line loss")).size(),
                 restore ? 1 : 0);
        QCOMPARE(rig.log.count(QStringLiteral("the board's line was lost; retrying every 2 s")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("line open on %1").arg(rig.link)), 2);
    }

    // A board plugged in after the start is found by the retry, which is said once, not once
    // a retry.
    void aBoardPluggedInLaterIsFound()
    {
        SessionRig rig({}, false);
        QTest::qWait(Session::kLineRetryMs + 500);
        QVERIFY(!rig.session->lineOpen());
        rig.plug();
        QTRY_VERIFY_WITH_TIMEOUT(rig.session->lineOpen(), 3 * Session::kLineRetryMs);
        QCOMPARE(rig.log.filter(QStringLiteral("; retrying every 2 s")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
