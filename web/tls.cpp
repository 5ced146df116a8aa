// SPDX-License-Identifier: MIT
#include "web/tls.h"

#if QT_CONFIG(ssl)
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

namespace quorvane::web {

std::optional<QString> loadTls(const QString &cert, const QString &key, QSslConfiguration *out)
{
    QFile certFile(cert);
    QFile keyFile(key);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read --http-cert or --http-key");
    const auto chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
    const QByteArray keyBytes = keyFile.readAll();
    QSslKey privateKey(keyBytes, QSsl::Rsa, QSsl::Pem);
    if (privateKey.isNull())
        privateKey = QSslKey(keyBytes, QSsl::Ec, QSsl::Pem);
    if (chain.isEmpty() || privateKey.isNull())
        return QStringLiteral("--http-cert or --http-key holds no PEM certificate or key");
    auto tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(privateKey);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    *out = tls;
    return std::nullopt;
}

} // namespace quorvane::web
#endif
