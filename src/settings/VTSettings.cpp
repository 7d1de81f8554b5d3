#include "VTSettings.h"

#include "ReplacedFile.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSslCertificate>

#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const QString VTSettings::s_fileBaseName = QStringLiteral("com.ostrelle.vantorel");
const QString VTSettings::s_trayFileBaseName = QStringLiteral("com.ostrelle.vantorel.tray");
QString VTSettings::s_directory;

namespace {

QList<VTSite> loadSites(QVariantList const& entries, QString const& appType)
{
    QList<VTSite> sites;
    for (const QVariant& entry : entries) {
        VTSite site;
        site.setAppType(appType);
        if (site.load(entry)) {
            sites.append(site);
        }
    }
    return sites;
}

// A configuration that no server of which can be trusted would leave the agent unable to connect
// anywhere, now and after every restart.
bool anyCertificateParses(QList<VTSite> const& sites)
{
    for (const VTSite& site : sites) {
        for (const VTServer& server : site.m_servers) {
            if (!QSslCertificate::fromData(server.m_cert, QSsl::Pem).isEmpty()) {
                return true;
            }
        }
    }
    return false;
}

// The settings hold the exit password's digest and salt: an administrator's copy made 0644 (as
// earlier versions asked) is closed before anything is read from it. Never through a link.
void restrictToOwner(QString const& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return;
    }
    struct stat status = {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 077) != 0) {
        ::fchmod(fd, status.st_mode & 0600);
    }
    ::close(fd);
}

} // namespace

VTSettings* VTSettings::instance()
{
    // Never destroyed: tasks and handlers may still read it while the process winds down.
    static VTSettings* const settings = new VTSettings;
    return settings;
}

VTSettings::VTSettings() = default;

void VTSettings::setScope(QSettings::Scope scope, bool skipSites)
{
    m_scope = scope;
    m_skipSites = skipSites;
}

QString VTSettings::settingsFilePath(QString const& baseName) const
{
    const QString dir = s_directory.isEmpty() ? QCoreApplication::applicationDirPath() : s_directory;
    return dir + "/" + baseName + ".json";
}

int VTSettings::load()
{
    // The tray of any desktop user reads the flags the daemon copies out for it; the settings
    // themselves are root's alone.
    m_fileName = settingsFilePath(m_skipSites ? s_trayFileBaseName : s_fileBaseName);
    if (!m_skipSites) {
        restrictToOwner(m_fileName);
    }
    int result = 2;
    try {
        result = readSettings();
    } catch (const std::exception&) {
        qCritical() << "VTSettings::load: Error loading settings";
        return 2;
    }
    if (result != 0 || m_skipSites) {
        return result;
    }
    // Rewriting at once puts the file into the normal form the "visible" search at start-up expects.
    save();
    return 0;
}

int VTSettings::readFile(QString const& path, QVariantMap& map)
{
    map.clear();
    QFile file(path);
    if (!file.exists()) {
        // A missing file is no error: it simply holds no keys.
        return QSettings::NoError;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return QSettings::AccessError;
    }
    return readJsonFile(file, map) ? QSettings::NoError : QSettings::FormatError;
}

bool VTSettings::writeFile(QString const& path, QVariantMap const& map, mode_t mode)
{
    // Renamed over the old file only when every byte is on disk, so a crash or a full disk in the
    // middle leaves the previous settings whole.
    return ReplacedFile::write(path, mode, [&map](QIODevice& device) { return writeJsonFile(device, map); });
}

int VTSettings::readSettings()
{
    QVariantMap settings;
    const int status = readFile(m_fileName, settings);
    if (status != QSettings::NoError) {
        qCritical() << "VTSettings::load: Settings file corrupted. file name" << m_fileName;
        return status;
    }
    qInfo() << "VTSettings::load: Loading settings from: " << m_fileName;

    if (!settings.contains("app_type")) {
        qCritical() << "VTSettings::load: app_type not found";
        return 2;
    }
    m_appType = settings.value("app_type").toString();

    if (settings.contains("visible")) {
        m_visible = settings.value("visible").toBool();
    } else {
        qCritical() << "VTSettings::load: visible not found";
    }

    if (m_skipSites) {
        return 0;
    }

    QList<VTSite> sites;
    if (settings.contains("sites")) {
        const QVariantList entries = settings.value("sites").toList();
        qInfo() << "VTSettings::load: servers count: " << entries.size();
        sites = loadSites(entries, m_appType);
    }
    if (sites.isEmpty()) {
        qCritical() << "VTSettings::load: No sites loaded";
        return 2;
    }
    m_sites = sites;

    if (settings.contains("debug")) {
        m_debug = settings.value("debug").toBool();
    }
    return 0;
}

bool VTSettings::save()
{
    qInfo() << "Saving settings started";
    if (m_fileName.isEmpty()) {
        m_fileName = settingsFilePath(s_fileBaseName);
    }
    try {
        qInfo() << "Settings file: " << m_fileName;
        // Keys this store does not know are kept; an unreadable old file has none worth keeping.
        QVariantMap settings;
        readFile(m_fileName, settings);

        QVariantList sites;
        for (const VTSite& site : m_sites) {
            QVariantMap map;
            site.toVariantMap(map);
            sites.append(map);
        }
        settings.insert("visible", m_visible);
        settings.insert("app_type", m_appType);
        settings.insert("debug", m_debug);
        settings.insert("sites", sites);
        if (!writeFile(m_fileName, settings, 0600)) {
            qCritical() << "Error saving some settings";
            return false;
        }
        // Only what a tray reads, for every user; nothing in it is a secret.
        const QVariantMap tray {{"app_type", m_appType}, {"visible", m_visible}};
        if (!writeFile(settingsFilePath(s_trayFileBaseName), tray, 0644)) {
            qCritical() << "Error saving some settings";
            return false;
        }
    } catch (const std::exception&) {
        qCritical() << "Error saving some settings";
        return false;
    }
    qDebug() << "Settings saved successfully ";
    return true;
}

int VTSettings::loadFromJson(QJsonObject const& message)
{
    qDebug() << "Loading settings from json message";
    const QJsonObject msg = message.value("msg").toObject();
    QList<VTSite> sites;
    if (msg.contains("sites")) {
        sites = loadSites(msg.value("sites").toVariant().toList(), m_appType);
    }
    // A debug installation talks plain ws to a test server, which has no certificate to send.
    if (sites.isEmpty() || (!m_debug && !anyCertificateParses(sites))) {
        // Keeping the old sites matters: an empty or untrusted list on disk would stop the next start.
        qCritical() << "No sites loaded";
        return 2;
    }
    m_sites = sites;
    save();
    return 0;
}

bool VTSettings::hasParsableCertificate() const
{
    return anyCertificateParses(m_sites);
}

bool VTSettings::getSiteAt(int index, VTSite& site) const
{
    if (index < 0 || index >= m_sites.size()) {
        return false;
    }
    site = m_sites.at(index);
    return true;
}

bool VTSettings::readJsonFile(QIODevice& device, QMap<QString, QVariant>& map)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(device.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        return false;
    }
    map = document.toVariant().toMap();
    return true;
}

bool VTSettings::writeJsonFile(QIODevice& device, QMap<QString, QVariant> const& map)
{
    const QByteArray bytes = QJsonDocument::fromVariant(QVariant(map)).toJson(QJsonDocument::Indented);
    return device.write(bytes) == bytes.size();
}
