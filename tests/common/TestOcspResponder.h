#pragma once

#include "TestCertificates.h"

#include <QProcess>
#include <QString>
#include <QStringList>

// A real `openssl ocsp` responder on a loopback port, answering for certificates issued by one
// CA of a TestCertificates directory. Certificates named neither good nor revoked are unknown.
class TestOcspResponder
{
public:
    TestOcspResponder() = default;
    ~TestOcspResponder();
    TestOcspResponder(const TestOcspResponder&) = delete;
    TestOcspResponder& operator=(const TestOcspResponder&) = delete;

    // A loopback port that was free a moment ago; certificates must name it before start().
    static quint16 freePort();

    // Writes the index and starts the responder; true once it accepts connections. Answers are
    // signed by the CA unless `signerName` names another certificate of `certs`.
    bool start(quint16 port, const TestCertificates& certs, const QString& caName, const QStringList& good,
               const QStringList& revoked, const QString& signerName = QString());
    void stop();

    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

private:
    QProcess m_process;
    quint16 m_port = 0;
};
