// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>

namespace quorvane::ui {

// The 48 x 48 program icon, shared by both windows.
QIcon appIcon();

} // namespace quorvane::ui
