// SPDX-License-Identifier: MIT
// The board and its bridge for Prometheus: /metrics on the web face's listener, behind the
// same login as its API, in the text exposition format. Counters and gauges come from the
// board's health; the readings where the board sent a number; what each load was last
// commanded; the build.
#pragma once

#include "board/face.h"
#include "board/session.h"
#include "web/routes.h"

#include <QByteArray>

namespace quorvane::metrics {

// The exposition of `session` as it is now.
QByteArray exposition(const board::Session &session);

class Face : public board::Face {
    Q_OBJECT
public:
    Face(const board::Session &session, web::Routes &routes, QObject *parent = nullptr);
    QString name() const override { return QStringLiteral("metrics"); }
    std::optional<QString> start() override { return std::nullopt; }
    void stop() override {}
};

} // namespace quorvane::metrics
