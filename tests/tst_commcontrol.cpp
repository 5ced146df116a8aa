// SPDX-License-Identifier: MIT
#include "ptyhelper.h"
#include "serial/commcontrol.h"

#include <QEventLoop>
#include <QTimer>

#include <thread>

using quorvane::serial::CommControl;
using quorvane::serial::CommError;
using quorvane::serial::FixedPortMap;

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

} // namespace

class TestCommControl : public QObject {
    Q_OBJECT
private slots:
    void openAppliesTheLineSettings()
    {
        PtyPair pty;
        CommControl comm(mapOf(pty.path()));
        QCOMPARE(comm.commPort(), qint16(1));
        comm.setPortOpen(true);
        QVERIFY(comm.portOpen());

        const int fd = ::open(pty.path().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        termios t{};
        QCOMPARE(tcgetattr(fd, &t), 0);
        ::close(fd);
        QCOMPARE(cfgetospeed(&t), speed_t(B9600));
        QCOMPARE(cfgetispeed(&t), speed_t(B9600));
        QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(t.c_cflag & PARENB, tcflag_t(0));
        QCOMPARE(t.c_cflag & CSTOPB, tcflag_t(0));
        QCOMPARE(t.c_cflag & CRTSCTS, tcflag_t(0));
        QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));

        comm.setPortOpen(false);
        QVERIFY(!comm.portOpen());
        comm.setPortOpen(false); // closing a closed port is harmless
    }

    void commandLetterIsOneByte()
    {
        PtyPair pty;
        CommControl comm(mapOf(pty.path()));
        comm.setPortOpen(true);
        comm.setOutput(QStringLiteral("A"));
        QCOMPARE(pty.read(1, 30000), QByteArray("A"));
    }

    void burstArrivesAsSeparateNotificationsInOrder()
    {
        PtyPair pty;
        CommControl comm(mapOf(pty.path()));
        Receiver rx(comm);
        comm.setPortOpen(true);
        pty.write("a\xffZ");
        QTRY_COMPARE(rx.pieces.size(), 3);
        QCOMPARE(rx.pieces, (QStringList{"a", QString(QChar(0xff)), "Z"}));
        QCOMPARE(rx.events, (QList<qint16>{2, 2, 2}));
        QTest::qWait(50);
        QCOMPARE(rx.pieces.size(), 3);
    }

    void noNotificationWhileThresholdIsZero()
    {
        PtyPair pty;
        CommControl comm(mapOf(pty.path()));
        int calls = 0;
        connect(&comm, &CommControl::OnComm, this, [&] { ++calls; });
        comm.setPortOpen(true);
        comm.setRThreshold(0);
        pty.write("xyz");
        QTRY_COMPARE(comm.inBufferCount(), qsizetype(3));
        QTest::qWait(50);
        QCOMPARE(calls, 0);
        // Arming raises the notification from the event loop, never inside the write.
        comm.setRThreshold(3);
        QCOMPARE(calls, 0);
        QTRY_VERIFY(calls > 0);
        QCOMPARE(comm.commEvent(), qint16(CommControl::EvReceive));
        comm.setInputLen(0);
        QCOMPARE(comm.input(), QStringLiteral("xyz"));
    }

    void thresholdAboveWaitingCountWaits()
    {
        PtyPair pty;
        CommControl comm(mapOf(pty.path()));
        int calls = 0;
        connect(&comm, &CommControl::OnComm, this, [&] {
            ++calls;
            comm.setRThreshold(0);
        });
        comm.setRThreshold(4);
        comm.setPortOpen(true);
        pty.write("abc");
        QTest::qWait(80);
        QCOMPARE(calls, 0);
        pty.write("d");
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
        CommControl comm(mapOf(QStringLiteral("/nonexistent")));
        comm.setRThreshold(value);
        comm.setInputLen(value);
        QCOMPARE(comm.rThreshold(), value);
        QCOMPARE(comm.inputLen(), value);
        QCOMPARE(comm.property("RThreshold").value<qint16>(), value);
        QVERIFY(comm.setProperty("InputLen", QVariant::fromValue(qint16(7))));
        QCOMPARE(comm.inputLen(), qint16(7));
    }

    void failingOpens_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing device")
            << "/dev/quorvane-no-such-tty" << 1 << int(CommError::Kind::NotFound)
            << "Port 1 (/dev/quorvane-no-such-tty): no such device";
        QTest::newRow("number beyond the mapping")
            << "" << 2 << int(CommError::Kind::BadPortNumber) << "Port 2: no device";
        QTest::newRow("a directory is no serial device")
            << "/tmp" << 1 << int(CommError::Kind::Io) << "Port 1 (/tmp): ";
    }
    void failingOpens()
    {
        QFETCH(QString, device);
        QFETCH(int, port);
        QFETCH(int, kind);
        QFETCH(QString, message);
        CommControl comm(mapOf(device.isEmpty() ? QStringLiteral("/dev/null") : device));
        comm.setCommPort(qint16(port));
        try {
            comm.setPortOpen(true);
            QFAIL("the open should have failed");
        } catch (const CommError &e) {
            QCOMPARE(int(e.kind()), kind);
            QVERIFY2(e.message().startsWith(message), qPrintable(e.message()));
        }
        QVERIFY(!comm.portOpen());
        QVERIFY_THROWS_EXCEPTION(CommError, comm.setOutput(QStringLiteral("A")));
    }

    void portNumbersBelowOneAreRefused_data()
    {
        QTest::addColumn<qint16>("port");
        QTest::newRow("0") << qint16(0);
        QTest::newRow("-1") << qint16(-1);
        QTest::newRow("-32768") << qint16(-32768);
    }
    void portNumbersBelowOneAreRefused()
    {
        QFETCH(qint16, port);
        CommControl comm(mapOf(QStringLiteral("/dev/null")));
        try {
            comm.setCommPort(port);
            QFAIL("the number should have been refused");
        } catch (const CommError &e) {
            QCOMPARE(e.kind(), CommError::Kind::BadPortNumber);
            QVERIFY(e.message().startsWith(QStringLiteral("Port %1: ").arg(port)));
        }
        QCOMPARE(comm.commPort(), qint16(1));
    }

    void portInUseByAnotherProgram()
    {
        PtyPair pty;
        CommControl first(mapOf(pty.path()));
        first.setPortOpen(true);
        CommControl second(mapOf(pty.path()));
        try {
            second.setPortOpen(true);
            QFAIL("the second open should have failed");
        } catch (const CommError &e) {
            QCOMPARE(e.kind(), CommError::Kind::InUse);
            QVERIFY2(e.message().contains(QStringLiteral("in use")), qPrintable(e.message()));
            QVERIFY(!e.message().contains(QStringLiteral("ermission")));
        }
        QVERIFY(!second.portOpen());
        QVERIFY(first.portOpen());
        first.setPortOpen(false);
        second.setPortOpen(true); // free again
        QVERIFY(second.portOpen());
    }

    void misuseWhileOpenOrClosed()
    {
        PtyPair pty;
        CommControl comm(mapOf(pty.path()));
        QVERIFY_THROWS_EXCEPTION(CommError, comm.input());
        QVERIFY_THROWS_EXCEPTION(CommError, comm.setOutput(QStringLiteral("A")));
        comm.setPortOpen(true);
        try {
            comm.setCommPort(2);
            QFAIL("changing the port number while open should fail");
        } catch (const CommError &e) {
            QCOMPARE(e.kind(), CommError::Kind::AlreadyOpen);
        }
        QCOMPARE(comm.commPort(), qint16(1));
        QVERIFY_THROWS_EXCEPTION(CommError, comm.setPortOpen(true));
        QVERIFY(comm.portOpen());
    }

    void deviceLostWhileOpen()
    {
        auto pty = std::make_unique<PtyPair>();
        CommControl comm(mapOf(pty->path()));
        Receiver rx(comm);
        comm.setPortOpen(true);
        pty->write("XPir:1");
        QTRY_COMPARE(rx.pieces.size(), 6);
        pty.reset();
        QTRY_VERIFY(rx.events.contains(CommControl::EvDeviceLost));
        QVERIFY(!comm.portOpen());
        QTest::qWait(100);
        QCOMPARE(rx.events.count(CommControl::EvDeviceLost), 1);
        QCOMPARE(rx.events.size(), 7); // the lost notice read nothing
        QVERIFY_THROWS_EXCEPTION(CommError, comm.input());
    }

    void nestedEventLoopInHandlerDoesNotStallReception()
    {
        PtyPair pty;
        CommControl comm(mapOf(pty.path()));
        QByteArray got;
        bool nested = false;
        comm.setRThreshold(1);
        comm.setInputLen(1);
        connect(&comm, &CommControl::OnComm, this, [&] {
            got += comm.input().toLatin1();
            comm.setRThreshold(0);
            if (!nested) {
                // Like a message box: more data arrives while this handler waits.
                nested = true;
                QEventLoop loop;
                QTimer::singleShot(150, &loop, &QEventLoop::quit);
                pty.write("bcdef");
                loop.exec();
            }
            comm.setRThreshold(1);
        });
        comm.setPortOpen(true);
        pty.write("a");
        QTRY_COMPARE(got, QByteArray("abcdef"));
    }

    void floodArrivesCompleteAndInOrder()
    {
        PtyPair pty;
        CommControl comm(mapOf(pty.path()));
        Receiver rx(comm);
        comm.setPortOpen(true);
        QByteArray sent;
        for (int i = 0; sent.size() < 200'000; ++i)
            sent += QByteArray::number(i) + ',';
        const int fd = pty.master();
        std::thread writer([fd, &sent] {
            qsizetype done = 0;
            while (done < sent.size()) {
                const ssize_t n = ::write(fd, sent.constData() + done, size_t(sent.size() - done));
                if (n > 0)
                    done += n;
                else
                    ::usleep(200);
            }
        });
        QTRY_COMPARE_WITH_TIMEOUT(rx.pieces.size(), sent.size(), 30000);
        writer.join();
        QCOMPARE(rx.text(), sent);
    }

    void drainingAFullQueueResumesReception()
    {
        // Nobody reads Input while the board sends in device-buffer-sized pieces: the queue
        // fills to its bound and the rest waits in the device. Draining it must bring the
        // rest in; nothing else will ever read the device again.
        PtyPair pty;
        CommControl comm(mapOf(pty.path()));
        comm.setRThreshold(0);
        comm.setPortOpen(true);
        QByteArray sent;
        for (int i = 0; sent.size() < CommControl::kQueueBound + 4096; ++i)
            sent += QByteArray::number(i) + ',';
        for (qsizetype at = 0; at < sent.size(); at += 1024)
            pty.write(sent.mid(at, 1024));
        QTRY_COMPARE(comm.inBufferCount(), CommControl::kQueueBound);
        comm.setInputLen(0);
        QByteArray got = comm.input().toLatin1();
        QTRY_COMPARE(comm.inBufferCount(), sent.size() - got.size());
        got += comm.input().toLatin1();
        QCOMPARE(got, sent);
    }

    void openCloseLeavesNoDescriptorBehind()
    {
        PtyPair pty;
        CommControl comm(mapOf(pty.path()));
        comm.setPortOpen(true);
        comm.setPortOpen(false);
        const int before = openDescriptorCount();
        for (int i = 0; i < 500; ++i) {
            comm.setPortOpen(true);
            comm.setOutput(QStringLiteral("K"));
            comm.setPortOpen(false);
        }
        QCOMPARE(openDescriptorCount(), before);
    }
};

QTEST_GUILESS_MAIN(TestCommControl)
#include "tst_commcontrol.moc"
