// SPDX-License-Identifier: MIT
// Keeps what a comm control's line carried: the readings log and the line capture, as the
// command line asks. A file that cannot be opened or written is reported once and then left
// alone; the line is never held up by it.
#pragma once

#include "record/capture.h"
#include "record/readingslog.h"
#include "recorder/recordoptions.h"
#include "serial/commcontrol.h"

#include <QObject>
#include <QPointer>
#include <QString>

namespace quorvane::recorder {
using serial::CommControl;

class LineRecorder : public QObject {
    Q_OBJECT
public:
    explicit LineRecorder(RecordOptions options, QObject *parent = nullptr);
    ~LineRecorder() override;
    // Opens the files and watches `comm`'s line from now on; problems come as problem().
    void start(CommControl *comm);

signals:
    // A file could not be opened or written; said once for each file.
    void problem(const QString &text);

private:
    void onBytes(bool toBoard, const char *data, qsizetype size);
    void report(const std::optional<std::string> &error, const char *what);

    RecordOptions options_;
    QPointer<CommControl> comm_;
    record::ReadingsLog log_;
    record::CaptureWriter capture_;
    record::FrameCollector frames_;
};

} // namespace quorvane::recorder
