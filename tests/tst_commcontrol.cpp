// SPDX-License-Identifier: MIT
#include "columns.h"
#include "ptyhelper.h"
#include "qtwarnings.h"
#include "serial/commcontrol.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <thread>

using quorvane::serial::ByteLink;
using quorvane::serial::CommControl;
using quorvane::serial::CommError;
using quorvane::serial::FixedPortMap;
using quorvane::serial::LinkFailure;

namespace {

std::shared_ptr<FixedPortMap> mapOf(const QString &device)
{
    return std::make_shared<FixedPortMap>(QMap<int, QString>{{1, device}});
}

// Runs the notification handler the way the panel does: one character per notification.
struct Receiver {
    CommControl &comm;
    QStringList pieces;
    QList<qint16> events;

    explicit Receiver(CommControl &c) : comm(c)
    {
        comm.setRThreshold(1);
        comm.setInputLen(1);
        QObject::connect(&comm, &CommControl::OnComm, &comm, [this] {
            events << comm.commEvent();
            if (comm.commEvent() == CommControl::EvReceive) {
                pieces << comm.input();
                comm.setRThreshold(0);
                comm.setInputLen(0);
            }
            comm.setRThreshold(1);
            comm.setInputLen(1);
        });
    }
    QByteArray text() const { return pieces.join(QString()).toLatin1(); }
};

// A link the test feeds by hand: counts how often and how much the comm control reads, and
// whether it asked to be woken by arriving bytes, as a serial device's notifier would.
class ScriptedLink final : public ByteLink {
public:
    int reads = 0;      // read() calls
    int emptyReads = 0; // of them, reads that found nothing
    bool wake = true;
    QByteArray waiting;

    std::optional<LinkFailure> open() override
    {
        open_ = true;
        return std::nullopt;
    }
    void close() override { open_ = false; }
    bool isOpen() const override { return open_; }
    std::optional<LinkFailure> write(const QByteArray &) override { return std::nullopt; }
    ReadResult read(QByteArray &into, qsizetype max) override
    {
        ++reads;
        const qsizetype take = std::min(max, waiting.size());
        emptyReads += take == 0 ? 1 : 0;
        into += waiting.left(take);
        waiting.remove(0, take);
        return {take, false, {}};
    }
    void setWakeOnData(bool on) override
    {
        wake = on;
        // A level-triggered notifier fires at once for bytes already waiting.
        if (on && !waiting.isEmpty())
            QMetaObject::invokeMethod(this, &ByteLink::readyRead, Qt::QueuedConnection);
    }
    void feed(const QByteArray &bytes)
    {
        waiting += bytes;
        if (wake)
            emit readyRead();
    }

private:
    bool open_ = false;
};

struct ScriptedMap final : FixedPortMap {
    mutable ScriptedLink *link = nullptr;
    ScriptedMap() : FixedPortMap({{1, QStringLiteral("scripted")}}) {}
    std::unique_ptr<ByteLink> makeLink(const QString &) const override
    {
        auto made = std::make_unique<ScriptedLink>();
        link = made.get();
        return made;
    }
};

// What `step` threw, if anything.
std::optional<CommError> thrown(const std::function<void()> &step)
{
    try {
        step();
    } catch (const CommError &e) {
        return e;
    }
    return std::nullopt;
}

} // namespace

class TestCommControl : public QObject {
    Q_OBJECT
    // Each test's port 1, on a pseudo-terminal of its own unless the test maps it elsewhere.
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<CommControl> comm;

    // The control over a scripted link, opened once `setUp` has set what an open reads.
    ScriptedLink &openScripted(const std::function<void(CommControl &)> &setUp = {})
    {
        auto map = std::make_shared<ScriptedMap>();
        comm = std::make_unique<CommControl>(map);
        if (setUp)
            setUp(*comm);
        comm->setPortOpen(true);
        return *map->link;
    }

private slots:
    void init()
    {
        failOnQtWarnings();
        pty = std::make_unique<PtyPair>();
        comm = std::make_unique<CommControl>(mapOf(pty->path()));
    }
    void cleanup()
    {
        comm.reset();
        pty.reset();
    }

    void openAppliesTheLineSettings()
    {
        QCOMPARE(comm->commPort(), qint16(1));
        comm->setPortOpen(true);
        QVERIFY(comm->portOpen());

#ifdef Q_OS_WIN
        QCOMPARE(PtyCalls::settings(pty->path()),
                 QStringLiteral("9600/9600 8N1 crtscts=0 ixon=0 ixoff=0"));
#else
        const int fd = ::open(pty->path().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        termios t{};
        QCOMPARE(tcgetattr(fd, &t), 0);
        ::close(fd);
        QCOMPARE(cfgetospeed(&t), speed_t(B9600));
        QCOMPARE(cfgetispeed(&t), speed_t(B9600));
        // 8N1 without flow control: of these bits, only the eight data bits are set.
        QCOMPARE(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));
#endif
        comm->setPortOpen(false);
        QVERIFY(!comm->portOpen());
        comm->setPortOpen(false); // closing a closed port is harmless
    }

    void commandLetterIsOneByte()
    {
        comm->setPortOpen(true);
        comm->setOutput(QStringLiteral("A"));
        QCOMPARE(pty->read(1, 30000), QByteArray("A"));
        // A write that went out is no loss of the device: the port stays open.
        QTest::qWait(50);
        QVERIFY(comm->portOpen());
        // Letters handed over while one is still going out follow it (All OFF's L, then a
        // letter per load it releases).
        for (const char *letter : {"L", "B", "D"})
            comm->setOutput(QLatin1String(letter));
        QCOMPARE(pty->read(3, 30000), QByteArray("LBD"));
        // Written and idle, the line waits without spinning (10 to 20 ms in a second).
        const qint64 cpu0 = PtyCalls::cpuMs();
        QTest::qWait(1000);
        const qint64 idleMs = PtyCalls::cpuMs() - cpu0;
        QVERIFY2(idleMs < 50, qPrintable(QString::number(idleMs)));
    }

    void burstArrivesAsSeparateNotificationsInOrder()
    {
        Receiver rx(*comm);
        comm->setPortOpen(true);
        pty->write("a\xffZ");
        QTRY_COMPARE(rx.pieces.size(), 3);
        QCOMPARE(rx.pieces, (QStringList{"a", QString(QChar(0xff)), "Z"}));
        QCOMPARE(rx.events, (QList<qint16>{2, 2, 2}));
        QTest::qWait(50);
        QCOMPARE(rx.pieces.size(), 3);
    }

    void noNotificationWhileThresholdIsZero()
    {
        int calls = 0;
        connect(comm.get(), &CommControl::OnComm, this, [&] { ++calls; });
        comm->setPortOpen(true);
        comm->setRThreshold(0);
        pty->write("xyz");
        QTRY_COMPARE(comm->inBufferCount(), qsizetype(3));
        QTest::qWait(50);
        QCOMPARE(calls, 0);
        // Arming raises the notification from the event loop, never inside the write.
        comm->setRThreshold(3);
        QCOMPARE(calls, 0);
        QTRY_VERIFY(calls > 0);
        QCOMPARE(comm->commEvent(), qint16(CommControl::EvReceive));
        comm->setInputLen(0);
        QCOMPARE(comm->input(), QStringLiteral("xyz"));
    }

    void thresholdAboveWaitingCountWaits()
    {
        int calls = 0;
        connect(comm.get(), &CommControl::OnComm, this, [&] {
            ++calls;
            comm->setRThreshold(0);
        });
        comm->setRThreshold(4);
        comm->setPortOpen(true);
        pty->write("abc");
        QTest::qWait(80);
        QCOMPARE(calls, 0);
        pty->write("d");
        QTRY_COMPARE(calls, 1);
    }

    void propertiesRoundTrip_data()
    {
        QTest::addColumn<qint16>("value");
        for (qint16 v : {qint16(0), qint16(1), qint16(5), qint16(-1), qint16(32767)})
            QTest::addRow("%d", v) << v;
    }
    void propertiesRoundTrip()
    {
        QFETCH(qint16, value);
        comm = std::make_unique<CommControl>(mapOf(QStringLiteral("/nonexistent")));
        comm->setRThreshold(value);
        comm->setInputLen(value);
        QCOMPARE(comm->rThreshold(), value);
        QCOMPARE(comm->inputLen(), value);
        QCOMPARE(comm->property("RThreshold").value<qint16>(), value);
        QVERIFY(comm->setProperty("InputLen", QVariant::fromValue(qint16(7))));
        QCOMPARE(comm->inputLen(), qint16(7));
    }

    void failingOpens_data()
    {
        columns<QString, int, int, QString>("device", "port", "kind", "message");
#ifdef Q_OS_WIN
        QTest::newRow("missing device")
            << "COM250" << 1 << int(CommError::Kind::NotFound) << "Port 1 (COM250): no such device";
        QTest::newRow("a device that is no serial port")
            << "NUL" << 1 << int(CommError::Kind::Io) << "Port 1 (NUL): ";
#else
        QTest::newRow("missing device")
            << "/dev/quorvane-no-such-tty" << 1 << int(CommError::Kind::NotFound)
            << "Port 1 (/dev/quorvane-no-such-tty): no such device";
        QTest::newRow("a directory is no serial device")
            << "/tmp" << 1 << int(CommError::Kind::Io) << "Port 1 (/tmp): ";
#endif
        QTest::newRow("number beyond the mapping")
            << "" << 2 << int(CommError::Kind::BadPortNumber) << "Port 2: no device";
        // Refused as they are set; the port stays 1.
        for (int port : {0, -1, -32768})
            QTest::addRow("port %d", port) << "" << port << int(CommError::Kind::BadPortNumber)
                                           << QStringLiteral("Port %1: ").arg(port);
    }
    void failingOpens()
    {
        QFETCH(QString, device);
        QFETCH(int, port);
        QFETCH(int, kind);
        QFETCH(QString, message);
        comm = std::make_unique<CommControl>(
            mapOf(device.isEmpty() ? QStringLiteral("/dev/null") : device));
        const auto e = thrown([&] {
            comm->setCommPort(qint16(port));
            comm->setPortOpen(true);
        });
        QVERIFY(e);
        QCOMPARE(int(e->kind()), kind);
        QVERIFY2(e->message().startsWith(message), qPrintable(e->message()));
        QCOMPARE(comm->commPort(), qint16(std::max(port, 1)));
        QVERIFY(!comm->portOpen());
        QVERIFY_THROWS_EXCEPTION(CommError, comm->setOutput(QStringLiteral("A")));
    }

    void portInUseByAnotherProgram()
    {
        CommControl &first = *comm;
        {
            // Closed, then destroyed: what a link held on the port is let go once, never
            // what a later link holds now.
            CommControl earlier(mapOf(pty->path()));
            earlier.setPortOpen(true);
            earlier.setPortOpen(false);
            first.setPortOpen(true);
        }
        CommControl second(mapOf(pty->path()));
        const auto e = thrown([&] { second.setPortOpen(true); });
        QVERIFY(e);
        QCOMPARE(e->kind(), CommError::Kind::InUse);
        QVERIFY2(e->message().contains(QStringLiteral("in use")), qPrintable(e->message()));
        QVERIFY(!e->message().contains(QStringLiteral("ermission")));
        QVERIFY(!second.portOpen());
        QVERIFY(first.portOpen());
        first.setPortOpen(false);
        second.setPortOpen(true); // free again
        QVERIFY(second.portOpen());
    }

    void misuseWhileOpenOrClosed()
    {
        QVERIFY_THROWS_EXCEPTION(CommError, comm->input());
        QVERIFY_THROWS_EXCEPTION(CommError, comm->setOutput(QStringLiteral("A")));
        comm->setPortOpen(true);
        const auto e = thrown([&] { comm->setCommPort(2); });
        QVERIFY(e);
        QCOMPARE(e->kind(), CommError::Kind::AlreadyOpen);
        QCOMPARE(comm->commPort(), qint16(1));
        QVERIFY_THROWS_EXCEPTION(CommError, comm->setPortOpen(true));
        QVERIFY(comm->portOpen());
        // A number with no device, after one with: no word names the old device.
        comm->setPortOpen(false);
        comm->setCommPort(2);
        QVERIFY_THROWS_EXCEPTION(CommError, comm->setPortOpen(true));
        QCOMPARE(thrown([&] { comm->input(); })->message(), "Port 2: the port is not open");
    }

    void deviceLostWhileOpen()
    {
        Receiver rx(*comm);
        comm->setPortOpen(true);
        pty->write("XPir:1");
        QTRY_COMPARE(rx.pieces.size(), 6);
        pty.reset();
        QTRY_VERIFY(rx.events.contains(CommControl::EvDeviceLost));
        QVERIFY(!comm->portOpen());
        QTest::qWait(100);
        QCOMPARE(rx.events.count(CommControl::EvDeviceLost), 1);
        QCOMPARE(rx.events.size(), 7); // the lost notice read nothing
        QVERIFY_THROWS_EXCEPTION(CommError, comm->input());
    }

    // The adapter pulled while a handler waits in a loop of its own (a message box): told
    // once, after the handler returns.
    void deviceLostWhileAHandlerWaits()
    {
        QList<qint16> events;
        comm->setRThreshold(1);
        connect(comm.get(), &CommControl::OnComm, this, [&] {
            events << comm->commEvent();
            if (comm->commEvent() != CommControl::EvReceive)
                return;
            comm->input();
            QEventLoop loop;
            QTimer::singleShot(150, &loop, &QEventLoop::quit);
            pty.reset();
            loop.exec();
        });
        comm->setPortOpen(true);
        pty->write("a");
        QTRY_VERIFY(events.contains(CommControl::EvDeviceLost));
        QTest::qWait(100);
        QCOMPARE(events, (QList<qint16>{CommControl::EvReceive, CommControl::EvDeviceLost}));
        QVERIFY(!comm->portOpen());
    }

    void nestedEventLoopInHandlerDoesNotStallReception()
    {
        QByteArray got;
        int depth = 0, calls = 0;
        comm->setRThreshold(1);
        comm->setInputLen(1);
        connect(comm.get(), &CommControl::OnComm, this, [&] {
            QCOMPARE(++depth, 1); // never entered again from its own nested loop
            got += comm->input().toLatin1();
            if (++calls <= 2) {
                // Like a message box: more data arrives while this handler waits, the first
                // time with notifications off, the second with them on.
                comm->setRThreshold(calls == 1 ? 0 : 1);
                QEventLoop loop;
                QTimer::singleShot(150, &loop, &QEventLoop::quit);
                pty->write(calls == 1 ? "bc" : "def");
                loop.exec();
            }
            comm->setRThreshold(1);
            --depth;
        });
        comm->setPortOpen(true);
        pty->write("a");
        QTRY_COMPARE(got, QByteArray("abcdef"));
    }

    void floodArrivesCompleteAndInOrder()
    {
        Receiver rx(*comm);
        // What the readings log and the capture are handed: every byte read, once.
        QByteArray tapped;
        comm->setTap([&tapped](bool toBoard, const char *data, qsizetype size) {
            if (!toBoard)
                tapped.append(data, size);
        });
        comm->setPortOpen(true);
        QByteArray sent;
        for (int i = 0; sent.size() < 200'000; ++i)
            sent += QByteArray::number(i) + ',';
        const int fd = pty->master();
        std::thread writer([fd, &sent] { PtyPair::writeAll(fd, sent); });
        QTRY_COMPARE_WITH_TIMEOUT(rx.pieces.size(), sent.size(), 30000);
        writer.join();
        QCOMPARE(rx.text(), sent);
        QCOMPARE(tapped, sent);
    }

    void drainingAFullQueueResumesReception()
    {
        // Nobody reads Input while the board sends in device-buffer-sized pieces: the queue
        // fills to its bound and the rest waits in the device. Draining it must bring the
        // rest in; nothing else will ever read the device again.
        comm->setRThreshold(0);
        comm->setPortOpen(true);
        QByteArray sent;
        for (int i = 0; sent.size() < CommControl::kQueueBound + 4096; ++i)
            sent += QByteArray::number(i) + ',';
        // The queue's last byte of room is taken alone: a read of one byte fills it too.
        const qsizetype oneShort = CommControl::kQueueBound - 1;
        for (qsizetype at = 0, n; at < sent.size(); at += n) {
            n = std::min<qsizetype>(1024, (at < oneShort ? oneShort : sent.size()) - at);
            pty->write(sent.mid(at, n));
            if (at + n == oneShort)
                QTRY_COMPARE(comm->inBufferCount(), oneShort);
        }
        QTRY_COMPARE(comm->inBufferCount(), CommControl::kQueueBound);
        comm->setInputLen(0);
        QByteArray got = comm->input().toLatin1();
        QTRY_COMPARE(comm->inBufferCount(), sent.size() - got.size());
        got += comm->input().toLatin1();
        QCOMPARE(got, sent);
    }

    // A line at 9600-baud pace (960 bytes a second) is read on the control's clock: about
    // 1000 / 12 reads a second, not one per byte, and not a tenth as many. The bounds leave
    // room for a busy machine's late timers.
    void aBusyLineIsReadOnTheClock()
    {
        ScriptedLink &link = openScripted();
        Receiver rx(*comm);
        QElapsedTimer line;
        line.start();
        qint64 fed = 0;
        QTimer pace;
        pace.setTimerType(Qt::PreciseTimer);
        QObject::connect(&pace, &QTimer::timeout, [&] {
            const qint64 due = line.nsecsElapsed() / 1'041'667;
            link.feed(QByteArray(int(due - fed), 'a'));
            fed = due;
        });
        pace.start(1);
        QTest::qWait(1500);
        pace.stop();
        const double perSecond = link.reads / (double(line.nsecsElapsed()) / 1e9);
        QVERIFY2(perSecond > 20 && perSecond < 250, qPrintable(QString::number(perSecond)));
        QTRY_COMPARE(rx.pieces.size(), int(fed));
    }

    // The first byte after a quiet spell is read at once; while bytes keep coming they wait
    // for the clock; a quiet tick stops the clock and bytes wake the control again.
    void theClockStopsWhenTheLineIsQuiet()
    {
        ScriptedLink &link = openScripted();
        Receiver rx(*comm);
        QVERIFY(link.wake);
        const int before = link.reads;
        link.feed("a");
        QCOMPARE(link.reads, before + 1); // at once, not on a tick
        QVERIFY(!link.wake);
        link.feed("bc");
        QCOMPARE(link.reads, before + 1); // held for the clock
        QTRY_COMPARE(rx.text(), QByteArray("abc"));
        QTRY_VERIFY(link.wake); // a tick found nothing: the clock is off
        const int quiet = link.reads;
        QTest::qWait(200);
        QCOMPARE(link.reads, quiet); // no ticks while nothing comes
        link.feed("d");
        QCOMPARE(link.reads, quiet + 1);
        QTRY_COMPARE(rx.text(), QByteArray("abcd"));
    }

    // A read of a kilobyte or more means the line outruns the clock: it is read on every
    // wake-up from then on. Zero for the interval does the same for any line.
    void aLineFasterThanTheClockWakesItAtOnce_data()
    {
        columns<int, int, bool>("intervalMs", "bytes", "wakes");
        QTest::newRow("a small read starts the clock") << 12 << 1023 << false;
        QTest::newRow("a kilobyte read does not") << 12 << 1024 << true;
        QTest::newRow("no clock at all") << 0 << 1 << true;
    }
    void aLineFasterThanTheClockWakesItAtOnce()
    {
        QFETCH(int, intervalMs);
        QFETCH(int, bytes);
        QFETCH(bool, wakes);
        ScriptedLink &link = openScripted(
            [&](CommControl &c) { c.setReadInterval(std::chrono::milliseconds(intervalMs)); });
        link.feed(QByteArray(bytes, 'a'));
        QCOMPARE(link.wake, wakes);
        QCOMPARE(comm->inBufferCount(), qsizetype(bytes));
    }

    // A full queue leaves the rest in the device; reading resumes once Input() has taken
    // it down to half, not before and not only once it is empty.
    void aFullQueueResumesAtHalf()
    {
        ScriptedLink &link = openScripted([](CommControl &c) { c.setRThreshold(0); });
        QByteArray sent; // every byte told apart, so one lost or read twice shows
        for (int i = 0; sent.size() < CommControl::kQueueBound + 4096; ++i)
            sent += QByteArray::number(i) + ',';
        sent.truncate(CommControl::kQueueBound + 4096);
        link.feed(sent);
        QCOMPARE(comm->inBufferCount(), CommControl::kQueueBound);
        QVERIFY(!link.wake);
        QTest::qWait(50);
        const int full = link.reads;
        comm->setInputLen(1024);
        QByteArray got;
        while (comm->inBufferCount() - 1024 > CommControl::kQueueBound / 2) {
            got += comm->input().toLatin1();
            QCOMPARE(link.reads, full);
        }
        got += comm->input().toLatin1(); // down to half
        QCOMPARE(link.reads, full + 1);
        QCOMPARE(comm->inBufferCount(), CommControl::kQueueBound / 2 + 4096);
        QCOMPARE(link.waiting.size(), 0);
        while (comm->inBufferCount() > 0) // on past the queue's compaction
            got += comm->input().toLatin1();
        QCOMPARE(got, sent);
    }

    void openCloseLeavesNoDescriptorBehind()
    {
        comm->setPortOpen(true);
        comm->setPortOpen(false);
        const int before = openDescriptorCount();
        for (int i = 0; i < 500; ++i) {
            const auto e = thrown([&] {
                comm->setPortOpen(true);
                comm->setOutput(QStringLiteral("K"));
                comm->setPortOpen(false);
            });
            if (e)
                QFAIL(qPrintable(QStringLiteral("cycle %1: %2").arg(i).arg(e->message())));
        }
        QTest::qWait(50); // what a close leaves to the event loop
        QCOMPARE(openDescriptorCount(), before);
    }
};

QTEST_GUILESS_MAIN(TestCommControl)
#include "tst_commcontrol.moc"
