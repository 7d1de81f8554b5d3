#pragma once

#include "VTSite.h"

#include <QIODevice>
#include <QJsonObject>
#include <QList>
#include <QSettings>
#include <QString>

#include <sys/types.h>

// The agent's configuration: sites and servers, the application type text, the tray and debug
// flags, and where the log goes. Kept in one JSON file beside the executable, readable by root
// only, and copied without its secrets into a second file that the trays of all users read. The
// files are read and written directly rather than through QSettings: its writer can commit a
// short write, and its per-process cache can hand back content older than the file.
class VTSettings
{
public:
    static VTSettings* instance();

    // The program uses instance(); a separate store is only useful where a test wants a fresh one.
    VTSettings();

    void setScope(QSettings::Scope scope, bool skipSites);
    // 0 on success; the settings facility's status (1 access, 2 format) or 2 on any other failure.
    // With sites skipped (the tray) only the tray's file is read.
    int load();
    // Writes the settings (mode 0600) and the tray's file (0644). False when either could not be
    // written; a file not written is left as it was.
    bool save();
    // Replaces the sites from a config response envelope; 0 when at least one site loaded and
    // at least one server's certificate parses, else 2 and the previous sites stay in memory and
    // on disk.
    int loadFromJson(QJsonObject const& message);
    // Whether any configured server has a certificate the connection could trust.
    bool hasParsableCertificate() const;
    bool getSiteAt(int index, VTSite& site) const;

    int siteCount() const { return m_sites.size(); }
    QList<VTSite> const& sites() const { return m_sites; }
    bool visible() const { return m_visible; }
    bool debug() const { return m_debug; }
    QString appType() const { return m_appType; }
    QString logFilePath() const { return m_logFilePath; }
    void setLogFilePath(QString const& path) { m_logFilePath = path; }
    QString fileName() const { return m_fileName; }
    QSettings::Scope scope() const { return m_scope; }

    static bool readJsonFile(QIODevice& device, QMap<QString, QVariant>& map);
    static bool writeJsonFile(QIODevice& device, QMap<QString, QVariant> const& map);

    static const QString s_fileBaseName;
    // The top-level flags a tray needs, without secrets.
    static const QString s_trayFileBaseName;
    // Where the settings file lives; empty means the application directory. Tests point it elsewhere.
    static QString s_directory;

private:
    QString settingsFilePath(QString const& baseName) const;
    int readSettings();
    // The status codes are the settings facility's: 0 no error, 1 access error, 2 format error.
    static int readFile(QString const& path, QVariantMap& map);
    static bool writeFile(QString const& path, QVariantMap const& map, mode_t mode);

    bool m_skipSites = false;
    QString m_logFilePath;
    bool m_visible = true;
    QString m_appType;
    bool m_debug = false;
    QList<VTSite> m_sites;
    QSettings::Scope m_scope = QSettings::SystemScope;
    QString m_fileName;
};
