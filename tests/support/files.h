// SPDX-License-Identifier: MIT
// A file of the test's own in a temporary folder.
#pragma once

#include <QFile>
#include <QTemporaryDir>

// `bytes` written to `name` in `dir`: the file's path, or empty when it could not be written.
inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    QFile f(dir.filePath(name));
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() ? f.fileName()
                                                                          : QString();
}
