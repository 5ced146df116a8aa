// SPDX-License-Identifier: MIT
#include "columns.h"
#include "qtwarnings.h"
#include "serial/commerror.h"
#include "serial/portmap.h"
#include "ui/form1.h"
#include "ui/portoptions.h"

#include <QTest>
#ifndef Q_OS_WIN
#include <QSerialPortInfo>
#endif

#include <algorithm>

using namespace quorvane::serial;

namespace {

// Where boards behind a bridge cannot be reached, every such address is refused, plainly.
QString remoteProblem(const QString &target, const QString &problem)
{
#ifdef Q_OS_WIN
    if (target.contains(QLatin1String("mqtt://")) || target.contains(QLatin1String("mqtts://")))
        return QStringLiteral("cannot reach boards behind a bridge");
#else
    Q_UNUSED(target);
#endif
    return problem;
}

} // namespace

class TestPortMap : public QObject {
    Q_OBJECT
private slots:
    void init() { failOnQtWarnings(); }

    void naturalOrder_data()
    {
        columns<QString, QString>("a", "b");
        // Each first before the second: by prefix, then by number, leading zeros or not.
        const std::pair<const char *, const char *> pairs[] = {
            {"ttyACM0", "ttyS0"},    {"ttyS0", "ttyUSB0"}, {"ttyUSB0", "ttyUSB1"},
            {"ttyUSB2", "ttyUSB10"}, {"ttyS9", "ttyS10"},  {"ttyX007", "ttyX8"},
            {"ttyS", "ttyS0"},       {"COM3", "COM12"},    {"ttyS9", "ttySa"}};
        for (const auto &[a, b] : pairs)
            QTest::addRow("%s before %s", a, b) << QString::fromLatin1(a) << QString::fromLatin1(b);
    }
    void naturalOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QVERIFY(naturalLess(a, b));
        QVERIFY(!naturalLess(b, a));
        QVERIFY(!naturalLess(a, a));
    }

    void fixedMapWithFallback()
    {
        auto inner = std::make_shared<FixedPortMap>(QMap<int, QString>{{2, "/dev/two"}});
        FixedPortMap map({{1, "/dev/pts/7"}}, inner);
        QCOMPARE(map.device(1), QStringLiteral("/dev/pts/7"));
        QCOMPARE(map.device(2), QStringLiteral("/dev/two"));
        QCOMPARE(map.describeRange(1, 2), (QStringList{"/dev/pts/7", "/dev/two"}));
        QVERIFY_THROWS_EXCEPTION(CommError, map.device(3));
        QVERIFY(!map.describe(3).isEmpty());
    }

    void systemMapRefusesNumbersItCannotMap_data()
    {
        columns<int, QString>("port", "says");
        QTest::newRow("0") << 0 << "numbered from 1";
        QTest::newRow("-3") << -3 << "numbered from 1";
#ifndef Q_OS_WIN
        QTest::newRow("beyond the system's ports") << 32000 << "this system has";
#endif
    }
    void systemMapRefusesNumbersItCannotMap()
    {
        QFETCH(int, port);
        QFETCH(QString, says);
        // A fixed map, with or without a mapping of its own for the number, says the same.
        const SystemPortMap system;
        const FixedPortMap fixed({{port, QStringLiteral("/dev/a")}});
        for (const PortMap *map : std::initializer_list<const PortMap *>{&system, &fixed}) {
            if (map == &fixed && port > 0)
                continue;
            try {
                map->device(port);
                QFAIL("should have thrown");
            } catch (const CommError &e) {
                QCOMPARE(e.kind(), CommError::Kind::BadPortNumber);
                QVERIFY2(e.message().contains(says), qPrintable(e.message()));
                QVERIFY(e.message().startsWith(QStringLiteral("Port %1: ").arg(port)));
            }
            QVERIFY(!map->describe(port).isEmpty());
        }
    }

    void targets_data()
    {
        columns<QString, QString, QString>("target", "problem", "tooltip"); // problem empty: usable
        const auto row = [](const char *name, const char *target, const char *problem,
                            const char *tooltip = "") {
            QTest::newRow(name) << QString::fromUtf8(target) << QString::fromUtf8(problem)
                                << QString::fromUtf8(tooltip);
        };
#ifdef Q_OS_WIN
        row("COM port above 9", "COM10", "", "COM10");
        row("full device name", "\\\\.\\COM3", "", "\\\\.\\COM3");
#endif
        row("device path", "/dev/serial/by-id/usb-x", "", "/dev/serial/by-id/usb-x");
        row("board behind a bridge", "mqtt://broker.lan/kitchen", "", "kitchen via broker.lan");
        row("TLS, user, port and prefix", "mqtts://me@broker.lan:8884/k-1?prefix=home/q", "",
            "k-1 via broker.lan");
        row("no board", "mqtt://broker.lan/", "'' is not a board ID");
        row("upper-case board", "mqtt://b/Kitchen", "is not a board ID");
        row("password in the address", "mqtt://u:pw@b/k", "no password in the address");
        row("wildcard prefix", "mqtt://b/k?prefix=a/+", "?prefix=P");
        row("another scheme", "http://b/k", "neither a device path");
        row("empty", "", "empty device path");
    }
    void targets()
    {
        QFETCH(QString, target);
        QFETCH(QString, problem);
        QFETCH(QString, tooltip);
        problem = remoteProblem(target, problem);
        const QString found = quorvane::ui::checkTarget(target);
        QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.contains(problem), qPrintable(found));
        QVERIFY(!found.contains(QLatin1String("pw"))); // a password is never repeated
        if (problem.isEmpty())
            QCOMPARE(quorvane::ui::PanelPortMap({{1, target}}).describe(1), tooltip);
    }

#ifdef Q_OS_WIN
    void systemMapGivesPortNComN()
    {
        SystemPortMap map;
        for (int n : {1, 3, 9, 10, 255})
            QCOMPARE(map.device(n), QStringLiteral("COM%1").arg(n));
        QCOMPARE(map.describeRange(1, 3), (QStringList{"COM1", "COM2", "COM3"}));
    }
#else
    void systemMapGivesPortNTheNthListedPort()
    {
        // Only lists the system's ports (sysfs, udev); opens none of them.
        QList<QSerialPortInfo> listed = QSerialPortInfo::availablePorts();
        if (listed.isEmpty())
            QSKIP("this machine lists no serial ports");
        std::sort(listed.begin(), listed.end(), [](const auto &a, const auto &b) {
            return naturalLess(a.portName(), b.portName());
        });
        SystemPortMap map;
        const QStringList described = map.describeRange(1, int(listed.size()));
        for (int n = 1; n <= listed.size(); ++n) {
            QCOMPARE(map.device(n), listed[n - 1].systemLocation());
            QVERIFY(described[n - 1].startsWith(listed[n - 1].systemLocation()));
        }
    }
#endif

    void portOptions_data()
    {
        // problem empty: taken; mapped: N=TARGET ... as taken
        columns<QStringList, QString, QString>("values", "problem", "mapped");
        const auto row = [](const char *name, const QStringList &values, const char *problem,
                            const char *mapped = "") {
            QTest::newRow(name) << values << QString::fromUtf8(problem)
                                << QString::fromUtf8(mapped);
        };
        row("port 1", {"1=/dev/a"}, "", "1=/dev/a");
        row("port 5", {"5=/dev/a"}, "", "5=/dev/a");
        row("a COM name", {"3=COM12"}, "", "3=COM12");
        row("blanks around", {" 3 = /dev/a "}, "", "3=/dev/a");
        row("several", {"2=mqtt://b/k", "4=/dev/b"}, "", "2=mqtt://b/k 4=/dev/b");
        row("port 0", {"0=/dev/a"}, "N from 1 to 5");
        row("port 6", {"6=/dev/a"}, "N from 1 to 5");
        row("no number", {"=/dev/a"}, "N from 1 to 5");
        row("no =", {"/dev/a"}, "N from 1 to 5");
        row("no target", {"1="}, "empty device path");
        row("another scheme", {"2=http://b/k"}, "--port 2: ");
        row("one bad among good", {"1=/dev/a", "7=/dev/b"}, "--port 7=/dev/b");
    }
    void portOptions()
    {
        QFETCH(QStringList, values);
        QFETCH(QString, problem);
        QFETCH(QString, mapped);
        problem = remoteProblem(values.join(QLatin1Char(' ')), problem);
        QCommandLineParser parser;
        quorvane::ui::addPortOptions(parser);
        QStringList arguments{QStringLiteral("quorvane")};
        for (const QString &v : values)
            arguments << QStringLiteral("--port") << v;
        QVERIFY(parser.parse(arguments));
        QString error;
        const auto read = quorvane::ui::readPortOptions(parser, {}, &error);
        QVERIFY2(problem.isEmpty() == bool(read), qPrintable(error));
        if (!read) {
            QVERIFY2(error.contains(problem), qPrintable(error));
            return;
        }
        QStringList got;
        for (auto it = read->targets.cbegin(); it != read->targets.cend(); ++it)
            got << QStringLiteral("%1=%2").arg(it.key()).arg(it.value());
        QCOMPARE(got.join(QLatin1Char(' ')), mapped);
        QCOMPARE(quorvane::ui::portMapFor(*read)->device(read->targets.firstKey()),
                 read->targets.first());
    }

    // The window's advice follows the failure's kind alone, whatever the device's text.
    void adviceFollowsTheKind_data()
    {
        columns<int, QString, QString, QString>("kind", "device", "advice", "notAdvice");
        const QString credentials = QStringLiteral("Check the user name in the port's address and "
                                                   "the password (QUORVANE_MQTT_PASSWORD or "
                                                   "--password-file).");
        QTest::newRow("refused broker credentials")
            << int(CommError::Kind::BrokerCredentials) << "mqtt://u@b/k" << credentials << "";
        QTest::newRow("a refused device named like a remote target")
            << int(CommError::Kind::PermissionDenied) << "mqtt://u@b/k"
#ifdef Q_OS_LINUX
            << "'dialout' group"
#else
            << "administrator"
#endif
            << "password";
        QTest::newRow("an unreachable broker")
            << int(CommError::Kind::BrokerUnreachable) << "mqtt://u@b/k"
            << "Check the broker's address"
            << "password";
    }
    void adviceFollowsTheKind()
    {
        QFETCH(int, kind);
        QFETCH(QString, device);
        QFETCH(QString, advice);
        QFETCH(QString, notAdvice);
        const CommError e(CommError::Kind(kind), 1, device, QStringLiteral("refused"));
        const QString text = quorvane::ui::describeFailure(e);
        QVERIFY2(text.startsWith(e.message() + QStringLiteral("\n\n")), qPrintable(text));
        QVERIFY2(text.contains(advice), qPrintable(text));
        QVERIFY2(notAdvice.isEmpty() || !text.contains(notAdvice), qPrintable(text));
    }

    void errorMessageNamesPortDeviceAndReason()
    {
        const CommError e(CommError::Kind::PermissionDenied, 3, "/dev/ttyUSB2",
                          "Permission denied");
        QCOMPARE(e.message(), QStringLiteral("Port 3 (/dev/ttyUSB2): Permission denied"));
    }
};

QTEST_APPLESS_MAIN(TestPortMap)
#include "tst_portmap.moc"
