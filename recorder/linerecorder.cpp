// SPDX-License-Identifier: MIT
#include "recorder/linerecorder.h"

namespace quorvane::recorder {

LineRecorder::LineRecorder(RecordOptions options, QObject *parent)
    : QObject(parent), options_(std::move(options))
{
}

LineRecorder::~LineRecorder()
{
    if (comm_)
        comm_->setTap({});
}

void LineRecorder::start(CommControl *comm)
{
    if (!options_.logPath.isEmpty())
        report(log_.open(options_.logPath.toStdString(), options_.logMaxBytes), "readings log");
    if (!options_.capturePath.isEmpty())
        report(capture_.open(options_.capturePath.toStdString()), "line capture");
    if (!log_.isOpen() && !capture_.isOpen())
        return;
    comm_ = comm;
    comm->setTap(
        [this](bool toBoard, const char *data, qsizetype size) { onBytes(toBoard, data, size); });
}

void LineRecorder::onBytes(bool toBoard, const char *data, qsizetype size)
{
    const std::string_view bytes(data, std::size_t(size));
    if (capture_.isOpen()) {
        report(capture_.write(toBoard ? record::Direction::ToBoard : record::Direction::FromBoard,
                              bytes, record::CaptureWriter::Clock::now()),
               "line capture");
    }
    if (log_.isOpen() && !toBoard) {
        // Everything in one read arrived at once: one time and one write for all its frames.
        const auto now = record::WallClock::now();
        std::optional<std::string> error;
        frames_.feed(bytes, [&](const record::FrameValues &values) {
            if (!error)
                error = log_.add(now, values);
        });
        report(error ? error : log_.flush(), "readings log");
    }
}

void LineRecorder::report(const std::optional<std::string> &error, const char *what)
{
    // The file closed itself on the error, so this is said once for it.
    if (error)
        emit problem(QStringLiteral("The %1 is off: %2.")
                         .arg(QLatin1String(what), QString::fromStdString(*error)));
}

} // namespace quorvane::recorder
