// SPDX-License-Identifier: MIT
// The real panel (Form1, the comm control, the protocol library) fed by a board on a
// pseudo-terminal: throughput, latency, CPU at line rate, start-up and memory.
// Prints one JSON object per figure on stdout; scripts/bench turns them into a table.
#include "broker.h"
#include "gate.h"
#include "pacer.h"
#include "ptyhelper.h"
#include "recorder/linerecorder.h"
#include "ui/form1.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMouseEvent>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quorvane::ui;
using Clock = std::chrono::steady_clock;

namespace {

// --record: the panel keeps a readings log and a line capture while it is measured.
bool gRecord = false;

void report(QJsonObject o)
{
    if (gRecord)
        o.insert(QStringLiteral("record"), true);
    std::printf("%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

long peakKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

long residentKiB()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs the event loop as the program's own exec() would (QTest::qWait naps between turns).
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Context switches of every thread of this process: each one is a wake-up of the panel.
long processSwitches()
{
    long total = 0;
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        FILE *f =
            std::fopen(qPrintable(QStringLiteral("/proc/self/task/%1/status").arg(task)), "r");
        if (!f)
            continue;
        char line[256];
        long v = 0;
        while (std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &v) == 1 ||
                std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &v) == 1)
                total += v;
        }
        std::fclose(f);
    }
    return total;
}

double clockSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double threadCpuSeconds()
{
    return clockSeconds(CLOCK_THREAD_CPUTIME_ID);
}

// The panel with port 1 on the board's pseudo-terminal, or (remote) on the same board behind
// quorvane-bridge and a broker of our own on loopback.
struct Rig {
    PtyPair pty;
    int master = pty.master();
    std::unique_ptr<TestBroker> broker;
    std::unique_ptr<QProcess> bridge;
    std::unique_ptr<Form1> form;
    QTemporaryDir files;
    std::unique_ptr<quorvane::recorder::LineRecorder> recorder;
    explicit Rig(bool remote = false)
    {
        QString target = pty.path();
        if (remote) {
            broker = std::make_unique<TestBroker>();
            broker->start();
            bridge = std::make_unique<QProcess>();
            bridge->start(QStringLiteral(QUORVANE_BRIDGE_EXE),
                          {QStringLiteral("--device"), pty.path(), QStringLiteral("--broker"),
                           broker->url(), QStringLiteral("--board"), QStringLiteral("b1"),
                           QStringLiteral("--no-discovery")});
            spin(1000); // until the bridge has announced the board
            target = QStringLiteral("mqtt://127.0.0.1:%1/b1").arg(broker->port());
        }
        form = std::make_unique<Form1>(
            std::make_shared<quorvane::serial::FixedPortMap>(QMap<int, QString>{{1, target}}));
        form->setEndProgram([] {});
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            qWarning("the panel window was not exposed");
        if (gRecord) {
            recorder = std::make_unique<quorvane::recorder::LineRecorder>(
                quorvane::recorder::RecordOptions{files.filePath(QStringLiteral("readings.csv")), 0,
                                                  files.filePath(QStringLiteral("line.qvcap"))});
            QObject::connect(recorder.get(), &quorvane::recorder::LineRecorder::problem,
                             [](const QString &text) { qWarning("%s", qPrintable(text)); });
            recorder->start(form->MSComm1);
        }
        form->Command3->click();
    }
    ~Rig()
    {
        form.reset();
        if (bridge) {
            bridge->terminate();
            bridge->waitForFinished(3000);
        }
    }
    // From the board's thread: never touches the event loop.
    void writeAll(const char *p, size_t n)
    {
        PtyPair::writeAll(master, QByteArray(p, qsizetype(n)));
    }
    void drainCommands()
    {
        char buf[4096];
        while (::read(master, buf, sizeof buf) > 0) {
        }
    }
};

// Frames as fast as the line takes them for `ms`: every one must show, in order.
QJsonObject throughput(Rig &rig, int ms)
{
    Form1 &f = *rig.form;
    FloodWriter writer(rig.master);
    // Every frame must show, in order: the in-door value counts up by one each time.
    long shown = -1;
    long outOfOrder = 0;
    QObject::connect(f.MSComm1, &quorvane::serial::CommControl::OnComm, &f, [&] {
        const long v = f.Label7->text().chopped(4).toLong();
        if (!f.Label7->text().isEmpty() && v != shown) {
            if (v != shown + 1)
                ++outOfOrder;
            shown = v;
        }
    });
    // A click posted during the flood, every 100 ms: how long until its handler runs.
    qint64 worstClickNs = 0;
    int clicks = 0;
    QElapsedTimer clickTimer;
    QObject::connect(f.Check1, &PushCheck::valueChanged, &f, [&] {
        worstClickNs = std::max(worstClickNs, clickTimer.nsecsElapsed());
        ++clicks;
    });
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, &f, [&] {
        rig.drainCommands();
        const QPointF at(5, 5);
        clickTimer.start();
        QCoreApplication::postEvent(f.Check1, new QMouseEvent(QEvent::MouseButtonPress, at, at, at,
                                                              Qt::LeftButton, Qt::LeftButton, {}));
        QCoreApplication::postEvent(f.Check1,
                                    new QMouseEvent(QEvent::MouseButtonRelease, at, at, at,
                                                    Qt::LeftButton, Qt::NoButton, {}));
    });
    clicker.start(100);

    const double cpu0 = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    QElapsedTimer t;
    t.start();
    spin(ms);
    writer.stop();
    clicker.stop();
    // Let the panel take what is still on the line.
    const long target = writer.lastSeq();
    QElapsedTimer tail;
    tail.start();
    while (shown < target && tail.elapsed() < 60000)
        spin(5);
    const double seconds = t.nsecsElapsed() / 1e9;
    const double cpu = clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    const double chars = double(writer.chars());
    const QJsonObject o{
        {"figure", "throughput"},
        {"chars_per_s", chars / seconds},
        {"cpu_s_per_mb", cpu / (chars / 1e6)},
        {"frames", double(target + 1)},
        // A stop may leave part of one more chunk on the line: frames past the target.
        {"frames_lost_or_out_of_order", double(outOfOrder + std::max(0L, target - shown))},
        {"worst_click_ms", worstClickNs / 1e6},
        {"clicks", clicks}};
    report(o);
    return o;
}

void throughputAndMemory()
{
    Rig rig;
    Form1 &f = *rig.form;
    throughput(rig, 5000);

    // 10 MB more without any frame start: the buffer stays at its bound, memory flat.
    const QByteArray filler(1024 * 1024, 'a');
    long afterFirst = 0;
    for (int mb = 0; mb < 10; ++mb) {
        std::atomic<bool> written1{false};
        std::thread w([&] {
            rig.writeAll(filler.constData(), size_t(filler.size()));
            written1 = true;
        });
        while (!written1 || f.MSComm1->inBufferCount() > 0)
            spin(2);
        w.join();
        spin(20);
        if (mb == 1)
            afterFirst = residentKiB();
    }
    report({{"figure", "memory"},
            {"peak_rss_mb", peakKiB() / 1024.0},
            {"rss_growth_over_last_8_mb_kib", double(residentKiB() - afterFirst)}});
}

// Latency from "Z" written to the fourth label, and the whole process's CPU and wake-ups,
// with the board sending frames back to back at 9600-baud pace.
QJsonObject latency(const char *platform, int intervalMs, bool remote, int kFrames = 520)
{
    Rig rig(remote);
    Form1 &f = *rig.form;
    if (intervalMs >= 0)
        f.MSComm1->setReadInterval(std::chrono::milliseconds(intervalMs));
    constexpr long kFirst = 1000;
    FrameTimes zAt(kFrames);
    std::vector<std::int64_t> shown(kFrames, 0);
    QObject::connect(f.MSComm1, &quorvane::serial::CommControl::OnComm, &f, [&] {
        const long v = f.Label8->text().chopped(4).toLong() - kFirst;
        if (v >= 0 && v < kFrames && shown[size_t(v)] == 0)
            shown[size_t(v)] = monotonicNs();
    });
    spin(200); // settle after the window is up
    const double cpu0 = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const long switches0 = processSwitches();
    const auto start = Clock::now();
    const pid_t child = paceFrames(rig.master, kFrames, kFirst, zAt);
    int status = 0;
    // Look for the child's end rarely: the bench's own wake-ups count against the panel.
    while (waitpid(child, &status, WNOHANG) == 0)
        spin(500);
    spin(50);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    const long switches = processSwitches() - switches0;
    std::vector<double> ms;
    for (int i = 0; i < kFrames; ++i) {
        if (shown[size_t(i)] != 0)
            ms.push_back(double(shown[size_t(i)] - zAt[i]) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    const auto pct = [&](double p) {
        return ms.empty() ? -1.0 : ms[size_t(p * double(ms.size() - 1))];
    };
    QJsonObject o{{"figure", "latency"},
                  {"link", remote ? "remote" : "serial"},
                  {"platform", platform},
                  {"read_interval_ms", double(f.MSComm1->readInterval().count())},
                  {"frames", double(ms.size())},
                  {"median_ms", pct(0.5)},
                  {"p99_ms", pct(0.99)},
                  {"max_ms", ms.empty() ? -1.0 : ms.back()},
                  {"process_cpu_share_of_core", cpu / wall},
                  {"process_wakeups_per_s", double(switches) / wall},
                  {"seconds", wall}};
    if (gRecord) // a busy 9600-baud line's capture, scaled to a day
        o.insert(QStringLiteral("capture_mb_per_day"),
                 double(QFileInfo(rig.files.filePath(QStringLiteral("line.qvcap"))).size()) / wall *
                     86400 / 1e6);
    report(o);
    return o;
}

// A few seconds of each: far looser than the targets, so only a gross regression fails.
int gateRun(int intervalMs)
{
    PerfGate gate;
    const QJsonObject l =
        latency(qPrintable(QGuiApplication::platformName()), intervalMs, false, 150);
    gate.check(l.value("frames").toDouble() == 150, "every frame shown at 9600-baud pace",
               l.value("frames").toDouble());
    gate.check(l.value("p99_ms").toDouble() < 40, "frame end to fourth label p99 < 40 ms",
               l.value("p99_ms").toDouble());
    gate.check(l.value("process_wakeups_per_s").toDouble() < 300,
               "wake-ups at 9600-baud pace < 300/s", l.value("process_wakeups_per_s").toDouble());
    Rig rig;
    if (intervalMs >= 0)
        rig.form->MSComm1->setReadInterval(std::chrono::milliseconds(intervalMs));
    const QJsonObject t = throughput(rig, 2000);
    gate.check(t.value("chars_per_s").toDouble() >= 0.5e6, "flood >= 0.5M chars/s",
               t.value("chars_per_s").toDouble());
    gate.check(t.value("frames_lost_or_out_of_order").toDouble() == 0, "no frame lost in the flood",
               t.value("frames_lost_or_out_of_order").toDouble());
    return gate.exitCode();
}

// A click on a load toggle to its letter read at the board, 1,000 times.
void clickToLetter(bool remote)
{
    Rig rig(remote);
    Form1 &f = *rig.form;
    spin(200);
    rig.drainCommands();
    std::vector<double> ms;
    QByteArray want, got;
    for (int i = 0; i < 1000; ++i) {
        const std::int64_t t0 = monotonicNs();
        f.Check1->click();
        want += f.Check1->value() ? 'A' : 'B';
        for (;;) {
            QCoreApplication::processEvents();
            pollfd p{rig.master, POLLIN, 0};
            if (::poll(&p, 1, 1) > 0)
                break;
            if (monotonicNs() - t0 > 2'000'000'000)
                break;
        }
        ms.push_back(double(monotonicNs() - t0) / 1e6);
        char c[16];
        const ssize_t n = ::read(rig.master, c, sizeof c);
        if (n > 0)
            got.append(c, n);
    }
    std::sort(ms.begin(), ms.end());
    report({{"figure", "click_to_letter"},
            {"link", remote ? "remote" : "serial"},
            {"clicks", double(ms.size())},
            {"in_order", got == want},
            {"median_ms", ms[ms.size() / 2]},
            {"p99_ms", ms[size_t(0.99 * double(ms.size() - 1))]}});
}

// The comm control alone, no window: what reception costs before any painting.
void commOnly(int intervalMs)
{
    PtyPair pty;
    quorvane::serial::CommControl comm(
        std::make_shared<quorvane::serial::FixedPortMap>(QMap<int, QString>{{1, pty.path()}}));
    if (intervalMs >= 0)
        comm.setReadInterval(std::chrono::milliseconds(intervalMs));
    long chars = 0;
    comm.setRThreshold(1);
    comm.setInputLen(1);
    QObject::connect(&comm, &quorvane::serial::CommControl::OnComm, &comm, [&] {
        if (comm.commEvent() == quorvane::serial::CommControl::EvReceive) {
            chars += comm.input().size();
            comm.setRThreshold(0);
            comm.setInputLen(0);
        }
        comm.setRThreshold(1);
        comm.setInputLen(1);
    });
    QTemporaryDir files;
    quorvane::recorder::LineRecorder recorder({files.filePath(QStringLiteral("readings.csv")), 0,
                                               files.filePath(QStringLiteral("line.qvcap"))});
    if (gRecord)
        recorder.start(&comm);
    comm.setPortOpen(true);
    constexpr int kFrames = 300;
    FrameTimes zAt(kFrames);
    const double cpu0 = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const long switches0 = processSwitches();
    const auto start = Clock::now();
    const pid_t child = paceFrames(pty.master(), kFrames, 1000, zAt);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0)
        spin(500);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    report({{"figure", "comm_only"},
            {"read_interval_ms", double(comm.readInterval().count())},
            {"chars", double(chars)},
            {"process_cpu_share_of_core", (clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0) / wall},
            {"process_wakeups_per_s", double(processSwitches() - switches0) / wall}});
}

// For scale, with no toolkit and no panel: what waking costs on this machine. A bare
// poll-and-read loop woken by every character at 9600-baud pace, and a Qt event loop doing
// nothing but a timer at the comm control's read clock.
void floor()
{
    PtyPair pty;
    const int fd = ::open(pty.path().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        auto due = Clock::now();
        for (int i = 0; i < 9600; ++i) {
            std::this_thread::sleep_until(due);
            due += std::chrono::microseconds(1042);
            PtyPair::writeAll(pty.master(), QByteArray(1, 'a'));
        }
        done = true;
    });
    double cpu0 = threadCpuSeconds();
    auto start = Clock::now();
    while (!done) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[64];
            while (::read(fd, buf, sizeof buf) > 0) {
            }
        }
    }
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double perCharacter = (threadCpuSeconds() - cpu0) / wall;
    writer.join();
    ::close(fd);

    const auto interval = quorvane::serial::CommControl::kDefaultReadInterval;
    QTimer clock;
    clock.setTimerType(Qt::PreciseTimer);
    clock.setInterval(interval);
    QObject::connect(&clock, &QTimer::timeout, [] {});
    clock.start();
    cpu0 = threadCpuSeconds();
    start = Clock::now();
    spin(10000);
    wall = std::chrono::duration<double>(Clock::now() - start).count();
    report({{"figure", "line_rate_floor"},
            {"poll_per_character_cpu_share_of_core", perCharacter},
            {"qt_timer_only_cpu_share_of_core", (threadCpuSeconds() - cpu0) / wall},
            {"qt_timer_interval_ms", double(interval.count())}});
}

// Child mode: report the first paint of the window, then leave.
int firstPaint(bool bare)
{
    QWidget *w = nullptr;
    std::unique_ptr<QWidget> holder;
    if (bare) {
        auto *l = new QLabel(QStringLiteral("Quorvane"));
        holder.reset(l);
    } else {
        holder = std::make_unique<Form1>(std::make_shared<quorvane::serial::SystemPortMap>());
    }
    w = holder.get();
    struct Filter : QObject {
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint) {
                std::puts("painted");
                std::fflush(stdout);
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            }
            return false;
        }
    } filter;
    w->installEventFilter(&filter);
    w->show();
    return QApplication::exec();
}

void startup(const QString &self)
{
    auto once = [&](const char *mode) {
        QProcess p;
        QElapsedTimer t;
        t.start();
        p.start(self, {QString::fromLatin1(mode)});
        p.waitForReadyRead(20000);
        const double ms = t.nsecsElapsed() / 1e6;
        p.waitForFinished(5000);
        return ms;
    };
    // Interleaved, so that whatever else the machine does weighs on both alike.
    std::vector<double> bare, panel;
    for (int i = 0; i < 10; ++i) {
        bare.push_back(once("--paint-bare"));
        panel.push_back(once("--paint-panel"));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return (v[4] + v[5]) / 2;
    };
    report({{"figure", "startup"},
            {"platform", QGuiApplication::platformName()},
            {"panel_ms", median(panel)},
            {"bare_ms", median(bare)},
            {"ratio", median(panel) / median(bare)}});
}

} // namespace

int main(int argc, char **argv)
{
    prepareWindowSystem(); // measure the panel as its programs start it
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    gRecord = args.contains(QStringLiteral("--record"));
    if (args.contains(QStringLiteral("--paint-bare")))
        return firstPaint(true);
    if (args.contains(QStringLiteral("--paint-panel")))
        return firstPaint(false);
    if (args.contains(QStringLiteral("--startup"))) {
        startup(QCoreApplication::applicationFilePath());
        return 0;
    }
    if (args.contains(QStringLiteral("--floor"))) {
        floor();
        return 0;
    }
    // --interval MS overrides the comm control's read clock, to compare settings.
    const qsizetype at = args.indexOf(QStringLiteral("--interval"));
    const int interval = at >= 0 && at + 1 < args.size() ? args[at + 1].toInt() : -1;
    if (args.contains(QStringLiteral("--gate")))
        return gateRun(interval);
    if (args.contains(QStringLiteral("--comm"))) {
        commOnly(interval);
        return 0;
    }
    const bool remote = args.contains(QStringLiteral("--remote"));
    if (args.contains(QStringLiteral("--latency"))) {
        latency(qPrintable(QGuiApplication::platformName()), interval, remote);
        return 0;
    }
    if (remote) {
        latency(qPrintable(QGuiApplication::platformName()), interval, true);
        clickToLetter(true);
        return 0;
    }
    throughputAndMemory();
    latency(qPrintable(QGuiApplication::platformName()), interval, false);
    return 0;
}
