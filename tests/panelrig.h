// SPDX-License-Identifier: MIT
// The main window under test, wired to chosen devices, with Exit counted instead of ending
// the test program.
#pragma once

#include "ui/form1.h"
#include "ui/portoptions.h"

#include <memory>

inline std::unique_ptr<quorvane::ui::Form1> showPanel(QMap<int, QString> devices, int *ended)
{
    auto form = std::make_unique<quorvane::ui::Form1>(
        std::make_shared<quorvane::ui::PanelPortMap>(std::move(devices)));
    form->setEndProgram([ended] { ++*ended; });
    form->show();
    return form;
}

// The four value labels in processing order: PIR, light, in-door, out-door.
inline QStringList readings(const quorvane::ui::Form1 &f)
{
    return {f.Label6->text(), f.Label5->text(), f.Label7->text(), f.Label8->text()};
}
