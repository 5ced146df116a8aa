// SPDX-License-Identifier: MIT
// What the user sees when the line or the user misbehaves: lost devices, busy ports,
// garbage floods, endless lines, frantic clicking and endless reopening.
#include "boxcloser.h"
#include "panelrig.h"
#include "ptyhelper.h"
#include "serial/commcontrol.h"
#include "ui/form1.h"
#include "qtwarnings.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

using namespace quorvane::ui;
using quorvane::serial::FixedPortMap;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr qsizetype kScale = 10; // sanitized runs are slower: a tenth of the volume
// AddressSanitizer keeps freed memory in quarantine, so resident size says nothing there.
constexpr bool kMemoryIsMeaningful = false;
#else
constexpr qsizetype kScale = 1;
constexpr bool kMemoryIsMeaningful = true;
#endif

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return 0;
}

// A panel on `device`, or opened on a pseudo-terminal of its own.
struct Panel {
    PtyPair pty;
    int ended = 0;
    std::unique_ptr<Form1> form;
    explicit Panel(const QString &device = {})
        : form(showPanel({{1, device.isEmpty() ? pty.path() : device}}, &ended))
    {
        if (device.isEmpty())
            form->Command3->click();
    }
    QStringList values() const { return readings(*form); }
};

} // namespace

class TestFaults : public QObject {
    Q_OBJECT
private slots:
    void init() { failOnQtWarnings(); }

    void deviceLostMidFrameThenBack()
    {
        PluggableBoard b;
        b.plug();
        auto &pty = b.board;
        Panel panel(b.link);
        panel.form->Command3->click();
        QVERIFY(panel.form->MSComm1->portOpen());
        pty->write("XPir:1YLig:6");
        QTRY_COMPARE(panel.form->Text1->text(), QStringLiteral("Pir:1YLig:6"));

        BoxCloser closer;
        pty.reset();
        // How soon the loss is told is the benchmarks' business; here only that it is told
        // (the panel's state after it is tst_form1's).
        QTRY_COMPARE_WITH_TIMEOUT(closer.boxes.size(), 1, 30000);
        QVERIFY(closer.boxes[0].text.contains(QStringLiteral("click Open")));

        // The device comes back (under the same name); Open works again.
        b.plug();
        panel.form->Command3->click();
        QVERIFY(panel.form->MSComm1->portOpen());
        QCOMPARE(closer.boxes.size(), 1);
        pty->write("XPir:0YZ");
        QTRY_COMPARE(panel.form->Label6->text(), QStringLiteral("0"));
    }

    void deviceInUseByAnotherProcess()
    {
        PtyPair pty;
        QProcess holder;
        holder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        holder.start(QCoreApplication::applicationFilePath(), {"--hold", pty.path()});
        QVERIFY(holder.waitForReadyRead(60000)); // a process start is slow on a busy machine
        QCOMPARE(holder.readLine().trimmed(), QByteArray("holding"));

        Panel panel(pty.path());
        BoxCloser closer;
        panel.form->Command3->click();
        QCOMPARE(closer.boxes.size(), 1);
        QVERIFY2(closer.boxes[0].text.contains(QStringLiteral("in use")),
                 qPrintable(closer.boxes[0].text));
        QVERIFY(!closer.boxes[0].text.contains(QStringLiteral("ermission")));
        QCOMPARE(panel.form->Command3->text(), QStringLiteral("Open"));
        holder.kill();
        holder.waitForFinished();
    }

    void randomBytesShowOnlyRealTags()
    {
        Panel panel;
        const qint64 before = residentKiB();
        QByteArray noise(10 * 1024 * 1024 / kScale, Qt::Uninitialized);
        QRandomGenerator rng(1234);
        rng.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        noise[0] = '\0';
        noise[1] = char(0xFF);
        panel.pty.flood(noise);
        panel.pty.write("\x01");
        QTRY_COMPARE_WITH_TIMEOUT(panel.form->MSComm1->inBufferCount(), qsizetype(0), 120000);
        QVERIFY(panel.form->Text1->text().size() <= 4096);
        // A label shows only text that really followed its tag, up to a terminator.
        const QByteArray lower = noise.toLower();
        const char *tags[] = {"pir:", "lig:", "tp1:", "tp2:"};
        const char *suffixes[] = {"", "%", " Deg", " Deg"};
        const QStringList values = panel.values();
        for (int i = 0; i < 4; ++i) {
            if (values[i].isEmpty())
                continue;
            QByteArray value = values[i].toLatin1();
            value.chop(qsizetype(strlen(suffixes[i])));
            QVERIFY(lower.contains(QByteArray(tags[i]) + value.toLower() + 'y'));
        }
        QVERIFY2(!kMemoryIsMeaningful || residentKiB() - before < 40 * 1024,
                 qPrintable(QStringLiteral("grew by %1 KiB").arg(residentKiB() - before)));
    }

    void endlessLineWithoutFrameEnd()
    {
        Panel panel;
        panel.pty.flood("XPir:1Y" + QByteArray(1024 * 1024 / kScale, 'a'));
        panel.pty.write("Z");
        QTRY_COMPARE_WITH_TIMEOUT(panel.form->Label6->text(), QStringLiteral("1"), 60000);
        QTRY_COMPARE(panel.form->Text1->text().size(), 4096);
        panel.pty.write("XPir:0YLig:1YTp1:2YTp2:3YZ");
        QTRY_COMPARE(panel.values(), (QStringList{"0", "1%", "2 Deg", "3 Deg"}));
    }

    void rapidToggleClicksSendEveryLetterInOrder()
    {
        Panel panel;
        PushCheck *toggles[] = {panel.form->Check1, panel.form->Check2, panel.form->Check3,
                                panel.form->Check4, panel.form->Check5};
        QByteArray expected;
        for (int i = 0; i < 1000; ++i) {
            const int load = (i * 7) % 5;
            const bool on = toggles[load]->value() == 0;
            QTest::mouseClick(toggles[load], Qt::LeftButton);
            expected += char('A' + 2 * load + (on ? 0 : 1));
        }
        QCOMPARE(panel.pty.read(1000, 30000), expected);
    }

    void thousandOpenCloseCyclesLeaveNothingBehind()
    {
        Panel panel;
        panel.form->Command3->click();
        const int fds = openDescriptorCount();
        const qint64 before = residentKiB();
        BoxCloser closer;
        for (int i = 0; i < 1000; ++i) {
            panel.form->Command3->click();
            panel.form->Command3->click();
        }
        QVERIFY(closer.boxes.isEmpty());
        QCOMPARE(panel.form->Command3->text(), QStringLiteral("Open"));
        QCOMPARE(openDescriptorCount(), fds);
        QVERIFY2(!kMemoryIsMeaningful || residentKiB() - before < 4 * 1024,
                 qPrintable(QStringLiteral("grew by %1 KiB").arg(residentKiB() - before)));
    }
};

int main(int argc, char **argv)
{
    // Helper mode: hold a port open, as another program would, until killed.
    if (argc == 3 && QByteArray(argv[1]) == "--hold") {
        QCoreApplication app(argc, argv);
        quorvane::serial::CommControl comm(std::make_shared<FixedPortMap>(
            QMap<int, QString>{{1, QString::fromLocal8Bit(argv[2])}}));
        comm.setPortOpen(true);
        std::puts("holding");
        std::fflush(stdout);
        return QCoreApplication::exec();
    }
    QApplication app(argc, argv);
    TestFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
