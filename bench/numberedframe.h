// SPDX-License-Identifier: MIT
// Frames that carry a sequence number, for the benches on every platform.
#pragma once

#include <QByteArray>

// A frame whose in-door and out-door values carry `seq`, so the receiver can tell frames apart.
inline QByteArray numberedFrame(long seq)
{
    return "XPir:" + QByteArray::number(seq % 2) + "YLig:" + QByteArray::number(seq % 100) +
           "YTp1:" + QByteArray::number(seq) + "YTp2:" + QByteArray::number(seq) + "YZ";
}
