#include "Upgrade.h"

#include "app/AppTypes.h"
#include "performers/HttpFetch.h"
#include "settings/VTSettings.h"
#include "tasks/BoundedProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QUrl>
#include <QtDebug>

const QString Upgrade::msg_name = QStringLiteral("upgrade_linux_vt");
const QString Upgrade::msg_param_url = QStringLiteral("url");
int Upgrade::s_downloadTimeoutMs = 180000;
const int Upgrade::s_unpackTimeoutMs = 60000;

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

    // Package and unpacked tree stay behind for the update script, which runs after this task.
    QTemporaryDir dir(QDir::tempPath() + "/upgrade_pkg");
    dir.setAutoRemove(false);
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
    file.flush();
    qInfo() << "Upgrade package downloaded to:" << file.fileName();

    const BoundedProcess::Result tar
        = BoundedProcess::run(QStringLiteral("tar"), {"-zxvf", file.fileName(), "-C", dir.path()}, s_unpackTimeoutMs);
    const int rc = tar.started && !tar.crashed ? tar.exitCode : -1;
    if (rc != 0 && !QDir(dir.path()).exists()) {
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
    return true;
}

bool Upgrade::download(QString url, QIODevice& device)
{
    qInfo() << "Start download from url:" << url;
    url.replace(QLatin1String("update"), IS_64_ARCH ? QLatin1String("update_64") : QLatin1String("update_32"));

    const HttpFetch::Result fetched = HttpFetch::get(QUrl(url), s_downloadTimeoutMs);
    if (fetched.status == HttpFetch::eFailed) {
        qWarning("Error perform \"Upgrade\" download error , %s", qPrintable(fetched.errorString));
    }
    if (fetched.status != HttpFetch::eDone || fetched.body.isEmpty()
        || device.write(fetched.body) != fetched.body.size()) {
        return false;
    }
    qInfo("Download done");
    return true;
}
