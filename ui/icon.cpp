// SPDX-License-Identifier: MIT
#include "ui/icon.h"

namespace quorvane::ui {

QIcon appIcon()
{
    static const QIcon icon(QStringLiteral(":/quorvane/quorvane.png"));
    return icon;
}

} // namespace quorvane::ui
