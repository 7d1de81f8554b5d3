#include "TestOcspResponder.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>

TestOcspResponder::~TestOcspResponder()
{
    stop();
}

quint16 TestOcspResponder::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

bool TestOcspResponder::start(quint16 port, const TestCertificates& certs, const QString& caName,
                              const QStringList& good, const QStringList& revoked, const QString& signerName)
{
    QByteArray index;
    for (const QString& name : good)
        index += "V\t301231000000Z\t\t" + certs.serialHex(name).toLatin1() + "\tunknown\t/CN=" + name.toUtf8() + "\n";
    for (const QString& name : revoked)
        index += "R\t301231000000Z\t250101000000Z\t" + certs.serialHex(name).toLatin1()
            + "\tunknown\t/CN=" + name.toUtf8() + "\n";
    const QString indexPath = certs.dir() + "/ocsp-index-" + QString::number(port) + ".txt";
    QFile file(indexPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(index) != index.size())
        return false;
    file.close();

    m_port = port;
    const QString signer = signerName.isEmpty() ? caName : signerName;
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start("openssl",
                    {"ocsp", "-index", indexPath, "-port", QString::number(port), "-rsigner", certs.certPath(signer),
                     "-rkey", certs.keyPath(signer), "-CA", certs.certPath(caName), "-timeout", "5"});
    if (!m_process.waitForStarted(10000))
        return false;

    // Readiness is read from the responder's own output: a probe connection that sends no
    // request would stall this single-connection responder.
    QElapsedTimer timer;
    timer.start();
    QByteArray output;
    while (timer.elapsed() < 10000 && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(100);
        output += m_process.readAll();
        if (output.contains("waiting for OCSP client connections"))
            return true;
    }
    qWarning() << "openssl ocsp did not come up:" << output;
    return false;
}

void TestOcspResponder::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}
