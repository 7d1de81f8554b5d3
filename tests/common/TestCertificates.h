#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Makes keys and certificates with the real `openssl` command in a directory of the test's own.
// Each certificate is known by a short name: <dir>/<name>.pem and <dir>/<name>.key.
class TestCertificates
{
public:
    explicit TestCertificates(const QString& dir);

    // A self-signed CA certificate that can issue others.
    bool makeCa(const QString& name, const QString& commonName);

    // A leaf issued by `issuer` (a name given to makeCa), or self-signed when `issuer` is empty.
    // `subjectAltNames` items look like "DNS:host" or "IP:127.0.0.1"; `extensions` are extra
    // openssl extension lines such as "authorityInfoAccess = OCSP;URI:http://127.0.0.1:8888".
    bool makeCert(const QString& name, const QString& issuer, const QString& commonName,
                  const QStringList& subjectAltNames = {}, const QStringList& extensions = {});

    QString certPath(const QString& name) const;
    QString keyPath(const QString& name) const;
    // Upper-case hexadecimal serial, as openssl's CA index file writes it.
    QString serialHex(const QString& name) const;
    QString dir() const { return m_dir; }

    // Runs `openssl` with `args`; true on exit code 0. Output and errors go to `output` when given.
    static bool runOpenssl(const QStringList& args, QByteArray* output = nullptr, const QByteArray& input = {});

private:
    bool writeFile(const QString& path, const QByteArray& data) const;

    QString m_dir;
    int m_nextSerial = 0x1001;
    QMap<QString, int> m_serials;
};
