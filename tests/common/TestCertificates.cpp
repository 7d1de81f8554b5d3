#include "TestCertificates.h"

#include <QDebug>
#include <QFile>
#include <QProcess>

TestCertificates::TestCertificates(const QString& dir)
    : m_dir(dir)
{
}

bool TestCertificates::makeCa(const QString& name, const QString& commonName)
{
    const QString ext = m_dir + "/" + name + ".ext";
    if (!writeFile(ext,
                   "basicConstraints = critical, CA:true\n"
                   "keyUsage = critical, keyCertSign, cRLSign, digitalSignature\n"
                   "subjectKeyIdentifier = hash\n")) {
        return false;
    }
    m_serials[name] = m_nextSerial++;
    return runOpenssl({"req",
                       "-x509",
                       "-new",
                       "-newkey",
                       "ec",
                       "-pkeyopt",
                       "ec_paramgen_curve:prime256v1",
                       "-nodes",
                       "-keyout",
                       keyPath(name),
                       "-out",
                       certPath(name),
                       "-days",
                       "30",
                       "-subj",
                       "/CN=" + commonName,
                       "-set_serial",
                       QString::number(m_serials[name]),
                       "-extensions",
                       "v3_ca",
                       "-addext",
                       "basicConstraints=critical,CA:true",
                       "-addext",
                       "keyUsage=critical,keyCertSign,cRLSign"});
}

bool TestCertificates::makeCert(const QString& name, const QString& issuer, const QString& commonName,
                                const QStringList& subjectAltNames, const QStringList& extensions)
{
    const QString csr = m_dir + "/" + name + ".csr";
    const QString ext = m_dir + "/" + name + ".ext";
    // A self-signed certificate must be allowed to sign itself, or it is not recognised as such.
    QByteArray extText = "basicConstraints = CA:false\n"
                         "extendedKeyUsage = serverAuth, clientAuth\n";
    extText += issuer.isEmpty() ? "keyUsage = critical, digitalSignature, keyEncipherment, keyAgreement, keyCertSign\n"
                                : "keyUsage = critical, digitalSignature, keyEncipherment, keyAgreement\n";
    if (!subjectAltNames.isEmpty()) {
        extText += "subjectAltName = " + subjectAltNames.join(", ").toUtf8() + "\n";
    }
    for (const QString& line : extensions) {
        extText += line.toUtf8() + "\n";
    }
    if (!writeFile(ext, extText)) {
        return false;
    }
    if (!runOpenssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                     keyPath(name), "-out", csr, "-subj", "/CN=" + commonName})) {
        return false;
    }
    m_serials[name] = m_nextSerial++;
    QStringList args {"x509",  "-req", "-in",      csr, "-out",        certPath(name),
                      "-days", "30",   "-extfile", ext, "-set_serial", QString::number(m_serials[name])};
    if (issuer.isEmpty()) {
        args << "-signkey" << keyPath(name);
    } else {
        args << "-CA" << certPath(issuer) << "-CAkey" << keyPath(issuer);
    }
    return runOpenssl(args);
}

QString TestCertificates::certPath(const QString& name) const
{
    return m_dir + "/" + name + ".pem";
}

QString TestCertificates::keyPath(const QString& name) const
{
    return m_dir + "/" + name + ".key";
}

QString TestCertificates::serialHex(const QString& name) const
{
    QString hex = QString::number(m_serials.value(name), 16).toUpper();
    if (hex.size() % 2) {
        hex.prepend('0');
    }
    return hex;
}

bool TestCertificates::runOpenssl(const QStringList& args, QByteArray* output, const QByteArray& input)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("openssl", args);
    if (!process.waitForStarted(10000)) {
        qWarning() << "openssl did not start";
        return false;
    }
    if (!input.isEmpty()) {
        process.write(input);
    }
    process.closeWriteChannel();
    process.waitForFinished(60000);
    const QByteArray out = process.readAll();
    if (output) {
        *output = out;
    }
    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok) {
        qWarning().noquote() << "openssl" << args.join(' ') << "failed:" << out;
    }
    return ok;
}

bool TestCertificates::writeFile(const QString& path, const QByteArray& data) const
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}
