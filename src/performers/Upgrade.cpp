#include "Upgrade.h"

#include "app/AppTypes.h"
#include "performers/HttpFetch.h"
#include "performers/PackageSignature.h"
#include "settings/VTSettings.h"
#include "tasks/BoundedProcess.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopedValueRollback>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QUrl>
#include <QtDebug>

const QString Upgrade::msg_name = QStringLiteral("upgrade_linux_vt");
const QString Upgrade::msg_param_url = QStringLiteral("url");
int Upgrade::s_downloadTimeoutMs = 180000;
const int Upgrade::s_unpackTimeoutMs = 60000;
bool Upgrade::s_inProgress = false;

Upgrade::Upgrade(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

void Upgrade::perform()
{
    qInfo("Perform \"Upgrade\" message");
    if (!m_params.contains(msg_param_url)) {
        m_error = QStringLiteral("Unable to parse JSON request unable to find url param");
        qWarning("Error perform \"Upgrade\" message, wrong JSON format unable to find url param");
        return;
    }
    if (upgrade(m_params.value(msg_param_url).toString())) {
        m_result = true;
        qDebug("\"Upgrade\" success");
    } else {
        m_error = "Vantorel not updated: " + m_upgradeError;
        qCritical("Upgrade failed");
    }
}

bool Upgrade::upgrade(QString url)
{
    if (url.isEmpty()) {
        m_upgradeError = QStringLiteral("URL is empty");
        return false;
    }
    qInfo() << "Start upgrade from url:" << url;

    const QString fileName = QUrl(url).fileName();
    if (QFileInfo(fileName).suffix().toLower() != QLatin1String("tgz")) {
        m_upgradeError = "Specified file " + fileName + " is not a .tgz archive.";
        return false;
    }
    // The download runs a local event loop, in which the server may ask for another upgrade.
    if (s_inProgress) {
        m_upgradeError = QStringLiteral("Another upgrade is in progress.");
        return false;
    }
    const QScopedValueRollback<bool> busy(s_inProgress, true);

    // Kept only once the update script has been started: it runs after this task and uses them.
    QTemporaryDir dir(QDir::tempPath() + "/upgrade_pkg");
    QTemporaryFile file(dir.path() + "/upgrade_pkg.tgz");
    file.setAutoRemove(false);
    if (!dir.isValid() || !file.open()) {
        m_upgradeError = QStringLiteral("Cannot write temporary file on endpoint.");
        return false;
    }

    if (!download(url, file)) {
        m_upgradeError = QStringLiteral("Cannot download archive.");
        return false;
    }
    qInfo() << "Upgrade package downloaded to:" << file.fileName();
    file.close();
    if (!checkSignature(variantUrl(url), file.fileName(), !isEncrypted(url))) {
        return false;
    }

    // tar leaves whatever it managed to unpack when it fails; none of that may run. The members'
    // owners and modes are the builder's, not ours: as root tar would keep them, so files a user
    // could change, or set-uid ones, would reach the program directory. The fixed umask keeps
    // group and other write off whatever this process was started with.
    const BoundedProcess::Result tar
        = BoundedProcess::run(QStringLiteral("sh"),
                              {"-c", "umask 022 && exec tar \"$@\"", "tar", "--no-same-owner", "--no-same-permissions",
                               "-zxf", file.fileName(), "-C", dir.path()},
                              s_unpackTimeoutMs);
    const int rc = tar.started && !tar.crashed ? tar.exitCode : -1;
    if (rc != 0) {
        qCritical("upgrade failed - can't unpack update package");
        m_upgradeError = QStringLiteral("Cannot unpack archive");
        return false;
    }

    const QString script = dir.path() + "/Update/update.sh";
    if (!QFileInfo::exists(script)) {
        qCritical("upgrade failed - update script is not found");
        m_upgradeError = QStringLiteral("Update script not found in archive");
        return false;
    }

    VTSettings* settings = VTSettings::instance();
    const QStringList arguments {script,
                                 "-pid",
                                 QString::number(QCoreApplication::applicationPid()),
                                 "-path",
                                 QCoreApplication::applicationDirPath(),
                                 "-t",
                                 settings->appType(),
                                 "-v",
                                 settings->visible() ? "1" : "0"};
    if (!QProcess::startDetached(QStringLiteral("bash"), arguments)) {
        m_upgradeError = QStringLiteral("Unable to start/run update script.");
        return false;
    }
    dir.setAutoRemove(false);
    return true;
}

QString Upgrade::variantUrl(const QString& url)
{
    // Only the file name names the variant: the host, the directories and the query are the
    // server's and stay as given.
    QUrl parsed(url);
    const QString path = parsed.path(QUrl::FullyEncoded);
    const int nameStart = path.lastIndexOf(QLatin1Char('/')) + 1;
    QString name = path.mid(nameStart);
    name.replace(QLatin1String("update"), IS_64_ARCH ? QLatin1String("update_64") : QLatin1String("update_32"));
    parsed.setPath(path.left(nameStart) + name, QUrl::StrictMode);
    return parsed.toString(QUrl::FullyEncoded);
}

bool Upgrade::isEncrypted(const QString& url)
{
    return QUrl(url).scheme() == QLatin1String("https");
}

bool Upgrade::download(QString url, QIODevice& device)
{
    qInfo() << "Start download from url:" << url;
    if (!isEncrypted(url) && !QFileInfo::exists(PackageSignature::keyPath())) {
        // A package fetched in the clear is only as good as its signature, and without a key
        // nothing can be checked.
        qWarning("Error perform \"Upgrade\" download error , %s",
                 "a package not fetched over https needs a signing key to check it");
        return false;
    }
    const HttpFetch::Result fetched = HttpFetch::get(QUrl(variantUrl(url)), s_downloadTimeoutMs, device);
    if (fetched.status == HttpFetch::eFailed) {
        qWarning("Error perform \"Upgrade\" download error , %s", qPrintable(fetched.errorString));
    }
    if (fetched.status != HttpFetch::eDone || fetched.size == 0) {
        return false;
    }
    qInfo("Download done");
    return true;
}

bool Upgrade::checkSignature(const QString& packageUrl, const QString& packageFile, bool required)
{
    const QString keyPath = PackageSignature::keyPath();
    if (!QFileInfo::exists(keyPath)) {
        if (required) {
            qCritical() << "upgrade failed - no verification key at" << keyPath;
            m_upgradeError = QStringLiteral("Cannot verify archive signature.");
            return false;
        }
        qWarning() << "Upgrade package is not signature-checked: no verification key at" << keyPath;
        return true;
    }
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        qCritical() << "upgrade failed - can't read the verification key" << keyPath;
        m_upgradeError = QStringLiteral("Cannot verify archive signature.");
        return false;
    }
    const QByteArray key = keyFile.readAll();

    // The signature sits beside the package: same address, ".sig" appended to its path.
    QUrl signatureUrl(packageUrl);
    signatureUrl.setPath(signatureUrl.path() + ".sig");
    qInfo() << "Start download from url:" << signatureUrl.toString();
    QBuffer signature;
    signature.open(QIODevice::WriteOnly);
    const HttpFetch::Result fetched = HttpFetch::get(signatureUrl, s_downloadTimeoutMs, signature, 64 * 1024);
    if (fetched.status != HttpFetch::eDone) {
        qWarning("Error perform \"Upgrade\" download error , %s",
                 qPrintable(fetched.status == HttpFetch::eTimedOut ? QStringLiteral("timeout") : fetched.errorString));
        m_upgradeError = QStringLiteral("Cannot download archive signature.");
        return false;
    }

    QString reason;
    if (!PackageSignature::verify(packageFile, signature.data(), key, reason)) {
        qCritical() << "upgrade failed - package signature refused:" << reason;
        m_upgradeError = QStringLiteral("Archive signature is not valid.");
        return false;
    }
    qInfo("Upgrade package signature verified");
    return true;
}
