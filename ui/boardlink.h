// SPDX-License-Identifier: MIT
// The simulated board in the panel's own process, as a byte link: for systems without
// pseudo-terminals (Windows), where the board cannot sit at the far end of a line.
#pragma once

#include "serial/bytelink.h"
#include "serial/portmap.h"
#include "simulator/board.h"

#include <QTimer>

#include <memory>

namespace quorvane::ui {

class BoardLink final : public serial::ByteLink {
    Q_OBJECT
public:
    explicit BoardLink(int intervalMs, QObject *parent = nullptr);

    [[nodiscard]] std::optional<serial::LinkFailure> open() override;
    void close() override;
    bool isOpen() const override { return open_; }
    [[nodiscard]] std::optional<serial::LinkFailure> write(const QByteArray &bytes) override;
    ReadResult read(QByteArray &into, qsizetype max) override;
    void setWakeOnData(bool on) override;

private:
    void sendFrame();

    sim::Board board_;
    sim::Sensors sensors_;
    QTimer frames_;
    QByteArray waiting_; // sent by the board, not yet read
    bool open_ = false;
    bool wake_ = true;
};

// A port map with the simulated board on one port number, the rest from `rest`.
class BoardPortMap final : public serial::PortMap {
public:
    static constexpr const char *kDevice = "simulated board";

    BoardPortMap(int port, std::shared_ptr<const serial::PortMap> rest, int intervalMs = 1000);
    QString device(int port) const override;
    QString describe(int port) const override;
    QStringList describeRange(int first, int last) const override;
    std::unique_ptr<serial::ByteLink> makeLink(const QString &device) const override;

private:
    int port_;
    std::shared_ptr<const serial::PortMap> rest_;
    int intervalMs_;
};

} // namespace quorvane::ui
