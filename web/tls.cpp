// SPDX-License-Identifier: MIT
#include "web/tls.h"

#if QT_CONFIG(ssl)
#include <QFile>
#include <QSslCertificate>
#include <QSslCipher>
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
    // TLS 1.2 only with forward secrecy and authenticated encryption; TLS 1.3's suites, all
    // of that kind, as OpenSSL gives them.
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    QList<QSslCipher> ciphers;
    for (const QSslCipher &c : QSslConfiguration::supportedCiphers()) {
        const bool aead = c.encryptionMethod().contains(QLatin1String("GCM")) ||
                          c.encryptionMethod().contains(QLatin1String("CHACHA20"));
        if (c.keyExchangeMethod() == QLatin1String("ECDH") && aead)
            ciphers << c;
    }
    tls.setCiphers(ciphers);
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(privateKey);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    *out = tls;
    return std::nullopt;
}

} // namespace quorvane::web
#endif
