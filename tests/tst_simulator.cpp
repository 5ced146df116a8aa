// SPDX-License-Identifier: MIT
#include "columns.h"
#include "protocol/telemetry.h"
#include "ptyhelper.h"
#include "record/capture.h"
#include "simulator/arguments.h"
#include "simulator/board.h"
#include "simulator/runner.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace quorvane::sim;
using quorvane::protocol::Reading;
namespace record = quorvane::record;

namespace {

struct Played {
    int ms; // recorded time of the record, from the first
    record::Direction direction;
    std::string bytes;
};

// Writes a capture of `records`; returns the board's side of it as a panel would receive it.
QByteArray writeCapture(const QString &path, const std::vector<Played> &records)
{
    record::CaptureWriter writer;
    if (writer.open(path.toStdString()))
        return {};
    const auto t0 = record::CaptureWriter::Clock::now();
    QByteArray board;
    for (const Played &r : records) {
        if (writer.write(r.direction, r.bytes, t0 + std::chrono::milliseconds(r.ms)))
            return {};
        if (r.direction == record::Direction::FromBoard)
            board.append(r.bytes.data(), qsizetype(r.bytes.size()));
    }
    return board;
}

// Reads the panel's end in small helpings, slower than a replay at speed writes, until
// `done` says so, the line goes, or `ms` pass (only for a board that never sends; a busy
// machine just takes longer); each byte with when it came.
QByteArray readUntil(int fd, const std::function<bool(const QByteArray &)> &done, int ms = 60000,
                     std::vector<qint64> *arrivals = nullptr)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (!done(got) && t.elapsed() < ms) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 20);
        char buf[64];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, n);
            if (arrivals)
                arrivals->insert(arrivals->end(), std::size_t(n), t.elapsed());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || (p.revents & POLLHUP)) {
            break; // the board closed the line
        }
    }
    return got;
}

QByteArray readSlowly(int fd, qsizetype bytes, int ms, std::vector<qint64> *arrivals = nullptr)
{
    const auto enough = [bytes](const QByteArray &g) { return g.size() >= bytes; };
    return readUntil(fd, enough, ms, arrivals).left(bytes);
}

// The board run in a thread of its own on its pseudo-terminal, with the panel's end open.
struct RunningBoard {
    std::ostringstream log;
    Runner runner;
    int fd = -1;
    std::atomic<bool> stop{false};
    int status = -1;
    std::thread thread;

    explicit RunningBoard(const Options &options) : runner(options, log)
    {
        fd = ::open(runner.open().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        thread = std::thread([this] { status = runner.run(stop); });
    }
    // Waits for the run to end by itself, or ends it.
    void end(bool now = true)
    {
        stop = stop || now;
        if (thread.joinable())
            thread.join();
    }
    ~RunningBoard()
    {
        end();
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

class TestSimulator : public QObject {
    Q_OBJECT
private slots:
    void lettersSwitchTheRightLoads_data()
    {
        columns<QByteArray, QString>("letters", "loads");
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
        std::array<double, 4> low{1e9, 1e9, 1e9, 1e9}, high{-1e9, -1e9, -1e9, -1e9};
        // Long enough for every walk to meet its bounds many times over.
        for (int i = 0; i < 20000; ++i) {
            const std::string frame = formatFrame(sensors.next(), decimals);
            int seen = 0;
            for (char c : frame) {
                quorvane::protocol::receive(
                    buffer, std::string_view(&c, 1), [&](Reading r, std::string_view text) {
                        QCOMPARE(int(r), seen++);
                        const QString t = QString::fromLatin1(text.data(), qsizetype(text.size()));
                        const double v = t.section(QLatin1Char(' '), 0, 0).remove('%').toDouble();
                        QCOMPARE(t.contains('.'), decimals && r != Reading::Pir);
                        const auto n = std::size_t(r);
                        QVERIFY(t.endsWith(std::array{"", "%", " Deg", " Deg"}[n]));
                        low[n] = std::min(low[n], v);
                        high[n] = std::max(high[n], v);
                    });
            }
            QCOMPARE(seen, 4);
        }
        // Motion 0 or 1, light 0 to 100 %, in-door 18 to 26, out-door -5 to 35, each met.
        QCOMPARE(low, (std::array<double, 4>{0, 0, 18, -5}));
        QCOMPARE(high, (std::array<double, 4>{1, 100, 26, 35}));
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
        Options options;
        options.intervalMs = 20;
        options.count = 3;
        options.seed = 1;
        options.link =
            QDir::tempPath().toStdString() + "/quorvane-test-link-" + std::to_string(::getpid());
        // A stale link from an earlier run is replaced.
        QVERIFY(QFile::link(QStringLiteral("/nonexistent"), QString::fromStdString(options.link)));
        {
            RunningBoard b(options);
            const QFileInfo link(QString::fromStdString(options.link));
            QVERIFY(link.isSymLink() && link.exists());
            QVERIFY(b.fd >= 0);
            QCOMPARE(::write(b.fd, "AKLq", 4), ssize_t(4));
            const QByteArray got =
                readUntil(b.fd, [](const QByteArray &g) { return g.count('Z') >= 3; });
            b.end(false); // --count ends the run by itself
            QCOMPARE(b.status, 0);
            QCOMPARE(b.runner.framesSent(), 3LL);
            QCOMPARE(got.count('X'), 3);
            QVERIFY(got.startsWith("XPir:"));
            QCOMPARE(b.runner.board().loadsText(), std::string("loads: 0 0 0 0 0"));
            QCOMPARE(b.runner.board().ignored(), 1u);
            // A line for each byte taken, and nothing else.
            QCOMPARE(QString::fromStdString(b.log.str()),
                     QLatin1String("A -> load 1 on    loads: 1 0 0 0 0\n"
                                   "K -> all on    loads: 1 1 1 1 1\n"
                                   "L -> all off   loads: 0 0 0 0 0\n"
                                   "0x71 -> ignored (1 so far)\n"));
        }
        // --count 0 sends nothing and ends at once.
        options.count = 0;
        options.link.clear();
        RunningBoard none(options);
        QVERIFY(QTest::qWaitFor([&] { return none.status == 0; }, 2000));
        QCOMPARE(none.runner.framesSent(), 0LL);
        // Never a real file in the link's place: the run is refused and the file kept.
        QTemporaryFile real;
        QVERIFY(real.open());
        options.link = real.fileName().toStdString();
        Runner refused(options, none.log);
        QVERIFY_THROWS_EXCEPTION(std::system_error, refused.open());
        QVERIFY(real.exists());
    }

    // A device of its own (a real port, or one end of socat) is set to the board's line,
    // raw 9600 8N1, whatever another program left on it; one that is not there is said.
    void takesAnExistingDeviceAsItsLine()
    {
        int master = -1, slave = -1;
        char name[256] = {};
        QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        termios t{};
        QCOMPARE(::tcgetattr(slave, &t), 0);
        t.c_cflag = (t.c_cflag & ~tcflag_t(CSIZE)) | CS7 | PARENB | CSTOPB | CRTSCTS;
        t.c_lflag |= ECHO | ICANON;
        t.c_iflag |= IXON | IXOFF | IXANY;
        t.c_cc[VMIN] = 4;
        t.c_cc[VTIME] = 9;
        ::cfsetspeed(&t, B1200);
        QCOMPARE(::tcsetattr(slave, TCSANOW, &t), 0);
        Options options;
        options.device = name;
        options.intervalMs = 20;
        options.count = 2;
        {
            RunningBoard b(options);
            const QByteArray got =
                readUntil(master, [](const QByteArray &g) { return g.count('Z') >= 2; });
            QCOMPARE(got.count('X'), 2);
        }
        QCOMPARE(::tcgetattr(slave, &t), 0);
        QCOMPARE(::cfgetospeed(&t), speed_t(B9600));
        QCOMPARE(::cfgetispeed(&t), speed_t(B9600));
        QCOMPARE(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
                 tcflag_t(CS8 | CLOCAL | CREAD));
        QCOMPARE(t.c_lflag & (ECHO | ICANON), tcflag_t(0));
        QCOMPARE(t.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
        QCOMPARE(int(t.c_cc[VMIN]) * 100 + int(t.c_cc[VTIME]), 0);
        ::close(master);
        ::close(slave);
        options.device = "/nonexistent/quorvane-port";
        std::ostringstream log;
        Runner missing(options, log);
        try {
            missing.open();
            QFAIL("a missing device opened");
        } catch (const std::system_error &e) {
            QVERIFY2(std::string(e.what()).find(options.device) != std::string::npos, e.what());
        }
    }

    // What each option sets; each refusal's status (the bounds are the command's own smoke
    // test's).
    void commandLines_data()
    {
        columns<QStringList, QString>("args", "options"); // or the status it ends with at once
        const QString defaults = "device= link= interval=1000 count=-1 decimals=0 seed=- "
                                 "replay= speed=1 loop=0";
        QTest::newRow("none") << QStringList{} << defaults;
        QTest::newRow("a frame's") << QStringList{"--device", "/dev/x", "--link", "/tmp/l",
                                                  "--interval", "250", "--count", "4",
                                                  "--decimals", "--seed", "0"}
                                   << "device=/dev/x link=/tmp/l interval=250 count=4 "
                                      "decimals=1 seed=0 replay= speed=1 loop=0";
        QTest::newRow("a replay's")
            << QStringList{"--replay", "a.qvcap", "--speed", "2.5", "--loop", "--seed", "9"}
            << "device= link= interval=1000 count=-1 decimals=0 seed=9 replay=a.qvcap "
               "speed=2.5 loop=1";
        QTest::newRow("help") << QStringList{"--help"} << "status 0";
        QTest::newRow("version") << QStringList{"--version"} << "status 0";
        QTest::newRow("a stray word") << QStringList{"--loop", "x"} << "status 2";
        QTest::newRow("an unknown option") << QStringList{"--colour"} << "status 2";
        QTest::newRow("a speed of 0") << QStringList{"--speed", "0"} << "status 2";
        QTest::newRow("an empty count") << QStringList{"--count", ""} << "status 2";
    }
    void commandLines()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, options);
        std::vector<std::string> words{"quorvane-board"};
        for (const QString &a : args)
            words.push_back(a.toStdString());
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        std::ostringstream out, err;
        const auto got = parseArguments(int(words.size()), argv.data(), out, err);
        std::ostringstream said;
        if (const Options *o = std::get_if<Options>(&got)) {
            said << "device=" << o->device << " link=" << o->link << " interval=" << o->intervalMs
                 << " count=" << o->count << " decimals=" << o->decimals << " seed="
                 << (o->seed ? std::to_string(*o->seed) : "-") << " replay=" << o->replay
                 << " speed=" << o->speed << " loop=" << o->loop;
        } else {
            said << "status " << std::get<int>(got);
            // What was asked for goes out, a refusal with the usage or the rule on errors.
            QCOMPARE(out.str().empty(), std::get<int>(got) != 0);
            QCOMPARE(err.str().empty(), std::get<int>(got) == 0);
        }
        QCOMPARE(QString::fromStdString(said.str()), options);
    }

    // A pace of 0 would never play; one past a million is taken for a typo.
    void speedsFromTheCommandLine_data()
    {
        columns<QString, double>("text", "speed"); // speed -1: refused
        QTest::newRow("1") << "1" << 1.0;
        QTest::newRow("a fraction") << "0.25" << 0.25;
        QTest::newRow("the most") << "1000000" << 1e6;
        QTest::newRow("0") << "0" << -1.0;
        QTest::newRow("below 0") << "-2" << -1.0;
        QTest::newRow("past the most") << "1000000.5" << -1.0;
        QTest::newRow("not a number") << "fast" << -1.0;
        QTest::newRow("a number and more") << "2x" << -1.0;
        QTest::newRow("empty") << "" << -1.0;
        QTest::newRow("nan") << "nan" << -1.0;
    }
    void speedsFromTheCommandLine()
    {
        QFETCH(QString, text);
        QFETCH(double, speed);
        const auto got = quorvane::sim::parseSpeed(text.toStdString());
        QCOMPARE(got.value_or(-1.0), speed);
    }

    // A replay ends only once the panel has read what it played: a board that closed its end
    // earlier would take the last frames with it.
    void replayDeliversItsLastByte_data()
    {
        columns<double, bool>("speed", "read");
        QTest::newRow("speed 1") << 1.0 << true;
        QTest::newRow("speed 10") << 10.0 << true;
        QTest::newRow("speed 1000") << 1000.0 << true;
        QTest::newRow("nobody reads") << 1000.0 << false;
    }
    void replayDeliversItsLastByte()
    {
        QFETCH(double, speed);
        QFETCH(bool, read);
        QTemporaryDir dir;
        Options options;
        options.replay = dir.filePath(QStringLiteral("line.qvcap")).toStdString();
        options.speed = speed;
        options.untakenWait = std::chrono::milliseconds(300);
        // More than a pseudo-terminal's input queue holds, so some waits in the kernel.
        const QByteArray board =
            writeCapture(QString::fromStdString(options.replay),
                         {{0, record::Direction::FromBoard, "XPir:1YLig:64YTp1:28YTp2:31YZ"},
                          {40, record::Direction::ToBoard, "A"},
                          {80, record::Direction::FromBoard, std::string(6000, 'q')},
                          {120, record::Direction::FromBoard, "XLig:5YZ"}});
        QVERIFY(!board.isEmpty());
        std::ostringstream log;
        auto runner = std::make_unique<Runner>(options, log);
        const std::string path = runner->open();
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        std::atomic<bool> stop{false};
        int status = -1;
        long long replayed = 0;
        std::thread play([&] {
            status = runner->run(stop);
            replayed = runner->bytesReplayed();
            runner.reset(); // as the program exits: the board's end of the line goes
        });
        const QByteArray got = read ? readSlowly(fd, board.size(), 20000) : QByteArray();
        play.join(); // the replay ends by itself, read or not
        ::close(fd);
        QCOMPARE(status, 0);
        QCOMPARE(replayed, (long long)(board.size()));
        if (read) {
            QCOMPARE(got.size(), board.size());
            QCOMPARE(got.back(), 'Z');
            QCOMPARE(got, board);
            QVERIFY2(log.str().find("did not take") == std::string::npos, log.str().c_str());
        } else {
            QVERIFY2(log.str().find("did not take the replay's last bytes") != std::string::npos,
                     log.str().c_str());
        }
    }

    // Every pass of a looped replay keeps the recorded pace; a clock left at the first pass
    // would send the later ones out at once.
    void loopedReplayKeepsItsPaceOnEveryPass()
    {
        QTemporaryDir dir;
        Options options;
        options.replay = dir.filePath(QStringLiteral("line.qvcap")).toStdString();
        options.loop = true;
        options.speed = 2;
        QVERIFY(!writeCapture(QString::fromStdString(options.replay),
                              {{0, record::Direction::FromBoard, "a"},
                               {200, record::Direction::FromBoard, "b"},
                               {400, record::Direction::FromBoard, "c"},
                               {600, record::Direction::FromBoard, "d"}})
                     .isEmpty());
        // Each pass ends at a record of a kind this build does not know: said once, not a pass.
        QFile file(QString::fromStdString(options.replay));
        QVERIFY(file.open(QIODevice::Append) && file.write(QByteArray("\x00\x07x", 3)) == 3);
        file.close();
        const qint64 cpu0 = PtyCalls::cpuMs();
        RunningBoard b(options);
        QVERIFY(b.fd >= 0);
        std::vector<qint64> at;
        const QByteArray got = readSlowly(b.fd, 12, 10000, &at);
        b.end();
        // The board sleeps until a record is due, never spins (the reader takes a few ms).
        const qint64 cpuMs = PtyCalls::cpuMs() - cpu0;
        QVERIFY2(cpuMs < at.back() / 10, qPrintable(QStringLiteral("%1 ms").arg(cpuMs)));
        QCOMPARE(got, QByteArray("abcdabcdabcd"));
        const std::string said = b.log.str();
        QCOMPARE(std::count(said.begin(), said.end(), '\n'), 1);
        QVERIFY2(said.find("does not know") != std::string::npos, said.c_str());
        for (int pass = 0; pass < 3; ++pass) {
            const qint64 span = at[std::size_t(pass * 4 + 3)] - at[std::size_t(pass * 4)];
            // 300 ms at twice the pace; a burst takes a few at most, a busy machine more.
            QVERIFY2(span > 100, qPrintable(QStringLiteral("pass %1: %2 ms").arg(pass).arg(span)));
        }
    }

    // A looped capture with nothing of the board's (what the panel sent, no more) ends, rather
    // than rewinding forever without a wait; a damaged or missing one ends too, saying why, once.
    void aLoopWithNothingToPlayEnds_data()
    {
        // cut: bytes cut off the end; -1: no file at all, -2: a folder
        columns<int, QString>("cut", "said");
        QTest::newRow("the panel's letters only") << 3 << "";
        QTest::newRow("a record cut short") << 1 << "is cut short";
        QTest::newRow("no such file") << -1 << "cannot open";
        QTest::newRow("a folder") << -2 << "cannot read";
    }
    void aLoopWithNothingToPlayEnds()
    {
        QFETCH(int, cut);
        QFETCH(QString, said);
        QTemporaryDir dir;
        Options options;
        options.replay = dir.filePath(QStringLiteral("sent.qvcap")).toStdString();
        options.loop = true;
        writeCapture(
            QString::fromStdString(options.replay),
            {{0, record::Direction::ToBoard, "A"}, {5, record::Direction::FromBoard, "b"}});
        QFile file(QString::fromStdString(options.replay));
        QVERIFY(cut < 0 ? file.remove() : file.resize(file.size() - cut)); // "b" cut short, or gone
        QVERIFY(cut != -2 || QDir(dir.path()).mkdir(QStringLiteral("sent.qvcap")));
        RunningBoard b(options);
        QVERIFY(b.fd >= 0);
        QVERIFY(QTest::qWaitFor([&] { return b.status >= 0; }, 5000));
        QCOMPARE(b.status, said.isEmpty() ? 0 : 1);
        const std::string log = b.log.str();
        QCOMPARE(std::count(log.begin(), log.end(), '\n'), said.isEmpty() ? 0 : 1);
        QVERIFY2(log.find(said.toStdString()) != std::string::npos, log.c_str());
    }

    // A line that fails (a device gone, a file whose reads end) ends the run as a failure, said
    // once, whether the board makes its readings up or replays them.
    void aFailingLineEndsTheRun_data()
    {
        QTest::addColumn<bool>("replay");
        QTest::newRow("made up") << false;
        QTest::newRow("replayed") << true;
    }
    void aFailingLineEndsTheRun()
    {
        QFETCH(bool, replay);
        QTemporaryDir dir;
        Options options;
        options.device = dir.filePath(QStringLiteral("device")).toStdString();
        QFile device(QString::fromStdString(options.device));
        QVERIFY(device.open(QIODevice::WriteOnly));
        options.count = 3; // a run that missed the failure ends soon all the same
        if (replay) {
            options.replay = dir.filePath(QStringLiteral("line.qvcap")).toStdString();
            QVERIFY(!writeCapture(QString::fromStdString(options.replay),
                                  {{0, record::Direction::FromBoard, "a"},
                                   {3000, record::Direction::FromBoard, "b"}})
                         .isEmpty());
        }
        std::ostringstream log;
        Runner runner(options, log);
        const std::atomic<bool> stop{false};
        QCOMPARE(runner.run(stop), 1);
        const std::string said = log.str();
        QCOMPARE(std::count(said.begin(), said.end(), '\n'), 1);
        QVERIFY2(said.find("the line failed: end of file") != std::string::npos, said.c_str());
    }

    void stopRequestEndsTheRun()
    {
        RunningBoard b(Options{});
        QVERIFY(b.fd >= 0);
        // Stop once the run is under way (its first frame is out), however long that takes.
        const QByteArray got = readUntil(b.fd, [](const QByteArray &g) { return g.contains('X'); });
        b.end();
        QVERIFY(got.contains('X'));
        QVERIFY(b.runner.framesSent() >= 1);
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
