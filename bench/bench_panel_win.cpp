// SPDX-License-Identifier: MIT
// The Windows panel under Wine at 9600-baud pace: frame end to the fourth label, the figure
// bench_panel --latency gives natively. Port 1 is COMn of the Windows suites' prefix, a
// pseudo-terminal through tests/windows/ptyrelay.py. The board is a thread of this process
// here, so only the latency is read from this run; the panel's CPU and wake-ups under Wine
// come from packaging/windows/installed-run --figures, with the board outside the panel.
#include "numberedframe.h"
#include "ptyhelper.h"
#include "ui/form1.h"
#include "ui/portoptions.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    constexpr int kFrames = 520;
    constexpr long kFirst = 1000;
    PtyPair pty;
    quorvane::ui::Form1 form(std::make_shared<quorvane::ui::PanelPortMap>(
        QMap<int, QString>{{1, pty.path()}}));
    form.setEndProgram([] {});
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        qWarning("the panel window was not exposed");
    form.Command3->click();
    if (!form.MSComm1->portOpen()) {
        std::fprintf(stderr, "bench_panel_win: %s did not open\n", qPrintable(pty.path()));
        return 1;
    }

    std::vector<std::int64_t> zAt(kFrames, 0), shown(kFrames, 0);
    QObject::connect(form.MSComm1, &quorvane::serial::CommControl::OnComm, &form, [&] {
        const long v = form.Label8->text().chopped(4).toLong() - kFirst;
        if (v >= 0 && v < kFrames && shown[size_t(v)] == 0)
            shown[size_t(v)] = nowNs();
    });
    spin(200); // settle after the window is up

    // One character every 1.042 ms against absolute deadlines, so a late wake-up is caught
    // up on and the pace holds on average.
    std::atomic<bool> done{false};
    const auto start = Clock::now();
    std::thread board([&] {
        auto due = Clock::now();
        for (int i = 0; i < kFrames; ++i) {
            for (const char c : numberedFrame(kFirst + i)) {
                due += std::chrono::microseconds(1042);
                std::this_thread::sleep_until(due);
                while (::send(SOCKET(pty.master()), &c, 1, 0) != 1)
                    Sleep(1);
            }
            zAt[size_t(i)] = nowNs();
        }
        done = true;
    });
    while (!done)
        spin(500);
    board.join();
    spin(50);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<double> ms;
    for (int i = 0; i < kFrames; ++i) {
        if (shown[size_t(i)] != 0)
            ms.push_back(double(shown[size_t(i)] - zAt[size_t(i)]) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    const auto pct = [&](double p) {
        return ms.empty() ? -1.0 : ms[size_t(p * double(ms.size() - 1))];
    };
    const QJsonObject o{{"figure", "latency"},
                        {"link", "serial"},
                        {"platform", QGuiApplication::platformName()},
                        {"frames", double(ms.size())},
                        {"median_ms", pct(0.5)},
                        {"p99_ms", pct(0.99)},
                        {"max_ms", ms.empty() ? -1.0 : ms.back()},
                        {"seconds", wall}};
    std::printf("%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return 0;
}
