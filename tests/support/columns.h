// SPDX-License-Identifier: MIT
// A data table's columns on one line, types in order with their names:
//   columns<QString, int>("device", "port");
#pragma once

#include <QTest>

template <typename... T, typename... Name>
void columns(const Name &...names)
{
    static_assert(sizeof...(T) == sizeof...(Name), "a name for each column");
    (QTest::addColumn<T>(names), ...);
}
