#include "OSCPE.h"

#include <QRegularExpression>
#include <QSysInfo>
#include <QVector>
#include <QtDebug>

#include <utility>

const QString OSCPE::msg_name = QStringLiteral("os_cpe");
QString (*OSCPE::s_productType)() = &QSysInfo::productType;
QString (*OSCPE::s_productVersion)() = &QSysInfo::productVersion;
QString (*OSCPE::s_prettyProductName)() = &QSysInfo::prettyProductName;

namespace {

enum eDistribution
{
    eCentos = 1,
    eUbuntu = 2,
    eOpenSuse = 3,
    eSuse = 4,
    eFedora = 5,
    eRedHat = 6,
};

const QString tail7 = QStringLiteral(":*:*:*:*:*:*:*");

// The version is reported by the platform and may hold anything; it must still read as one
// well-formed component: blanks become underscores, other punctuation is escaped, non-ASCII is
// dropped, and nothing at all means "any".
QString versionComponent()
{
    QString component;
    for (const QChar c : OSCPE::s_productVersion()) {
        const ushort u = c.unicode();
        const bool alnum = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
        if (alnum || u == '_' || u == '.' || u == '-')
            component += c;
        else if (u == ' ')
            component += QLatin1Char('_');
        else if (u > 0x20 && u < 0x7f)
            component += QLatin1Char('\\') + QString(c);
    }
    return component.isEmpty() ? QStringLiteral("*") : component;
}

} // namespace

OSCPE::OSCPE(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
    m_distributions.insert(QStringLiteral("centos"), eCentos);
    m_distributions.insert(QStringLiteral("ubuntu"), eUbuntu);
    m_distributions.insert(QStringLiteral("opensuse"), eOpenSuse);
    m_distributions.insert(QStringLiteral("suse"), eSuse);
    m_distributions.insert(QStringLiteral("fedora"), eFedora);
    m_distributions.insert(QStringLiteral("red hat"), eRedHat);
    m_distributions.insert(QStringLiteral("rhel"), eRedHat);
    m_distributions.insert(QStringLiteral("redhatenterpriselinuxserver"), eRedHat);
}

OSCPE::~OSCPE() = default;

void OSCPE::perform()
{
    qInfo() << "Perform \"OSCPE\" message";
    m_result = getOsCpe(s_productType().toLower());
    qDebug() << "\"OSCPE\" success";
}

QString OSCPE::getOsCpe(const QString& productTypeKey) const
{
    switch (m_distributions.value(productTypeKey, 0)) {
    case eCentos:
        return getCentosOsCpe();
    case eUbuntu:
        return getUbuntoOsCpe();
    case eOpenSuse:
        return getOpenSuseOsCpe();
    case eSuse:
        return getSuseOsCpe();
    case eFedora:
        return getFedoraOsCpe();
    case eRedHat:
        return getRedHatOsCpe();
    default:
        return QStringLiteral("cpe:2.3:o:linux:linux:") + versionComponent() + tail7;
    }
}

QString OSCPE::getCentosOsCpe()
{
    return QStringLiteral("cpe:2.3:o:centos:centos:") + versionComponent() + tail7;
}

QString OSCPE::getUbuntoOsCpe()
{
    const bool lts = s_prettyProductName().toLower().contains(QLatin1String("lts"));
    return QStringLiteral("cpe:2.3:o:canonical:ubuntu_linux:") + versionComponent()
        + (lts ? QStringLiteral(":-:lts:*:*:*:*:*") : tail7);
}

QString OSCPE::getOpenSuseOsCpe()
{
    return QStringLiteral("cpe:2.3:o:novell:opensuse:") + versionComponent() + tail7;
}

QString OSCPE::getSuseOsCpe()
{
    const QString pretty = s_prettyProductName();
    QString update = QStringLiteral(":*");
    if (pretty.contains(QLatin1String("SP"))) {
        // "SP" with no number after it names no service pack, so the update stays unknown.
        static const QRegularExpression servicePack(QStringLiteral("SP(\\d+)"));
        const QRegularExpressionMatch match = servicePack.match(pretty);
        if (match.hasMatch())
            update = QLatin1Char(':') + match.captured(0);
    }
    QString edition;
    if (pretty.contains(QLatin1String("server")))
        edition = QStringLiteral(":server:*:*:*:*:*");
    else if (pretty.contains(QLatin1String("desktop")))
        edition = QStringLiteral(":desktop:*:*:*:*:*");
    else if (pretty.contains(QLatin1String("pro")))
        edition = QStringLiteral(":pro:*:*:*:*:*");
    else
        edition = QStringLiteral(":*:*:*:*:*:*");
    return QStringLiteral("cpe:2.3:o:novell:suse_linux:") + versionComponent() + update + edition;
}

QString OSCPE::getFedoraOsCpe()
{
    const bool core = s_prettyProductName().toLower().contains(QLatin1String("core"));
    return (core ? QStringLiteral("cpe:2.3:o:fedoraproject:fedora_core:")
                 : QStringLiteral("cpe:2.3:o:fedoraproject:fedora:"))
        + versionComponent() + tail7;
}

QString OSCPE::getRedHatOsCpe()
{
    return getRedHatPrefix(s_prettyProductName()) + versionComponent() + tail7;
}

QString OSCPE::getRedHatPrefix(const QString& prettyName)
{
    // Longer, more specific phrases come first: "desktop supplementary" before "desktop",
    // "fedora core" before "fedora".
    static const QVector<std::pair<QString, QStringList>> products = {
        {QStringLiteral("certificate_server"), {QStringLiteral("certificate")}},
        {QStringLiteral("desktop_workstation"), {QStringLiteral("desktop workstation")}},
        {QStringLiteral("directory_server"), {QStringLiteral("directory server")}},
        {QStringLiteral("enterprise_linux_desktop_supplementary"),
         {QStringLiteral("enterprise linux desktop supplementary"),
          QStringLiteral("enterprise linux client supplementary"),
          QStringLiteral("enterprise linux supplementary desktop"),
          QStringLiteral("enterprise linux supplementary client")}},
        {QStringLiteral("enterprise_linux_server_supplementary"),
         {QStringLiteral("enterprise linux server supplementary"),
          QStringLiteral("enterprise linux supplementary server")}},
        {QStringLiteral("enterprise_linux_desktop"),
         {QStringLiteral("enterprise linux desktop"), QStringLiteral("enterprise linux client")}},
        {QStringLiteral("enterprise_virtualization_manager"),
         {QStringLiteral("enterprise virtualization manager"), QStringLiteral("enterprise manager virtualization")}},
        {QStringLiteral("enterprise_linux_virtualization"), {QStringLiteral("enterprise linux virtualization")}},
        // The underscore spelling is kept as it always was; the blank spelling is how real names read.
        {QStringLiteral("enterprise_linux_workstation_supplementary"),
         {QStringLiteral("enterprise_linux workstation supplementary"),
          QStringLiteral("enterprise_linux supplementary workstation"),
          QStringLiteral("enterprise linux workstation supplementary"),
          QStringLiteral("enterprise linux supplementary workstation")}},
        {QStringLiteral("fedora_core"), {QStringLiteral("fedora core")}},
        {QStringLiteral("fedora"), {QStringLiteral("fedora")}},
        {QStringLiteral("linux_advanced_workstation"),
         {QStringLiteral("linux advanced workstation"), QStringLiteral("linux workstation advanced")}},
    };
    const QString name = prettyName.toLower();
    QString product = QStringLiteral("enterprise_linux");
    for (const auto& row : products) {
        bool found = false;
        for (const QString& phrase : row.second)
            found = found || name.contains(phrase);
        if (found) {
            product = row.first;
            break;
        }
    }
    return QStringLiteral("cpe:2.3:o:redhat:") + product + QLatin1Char(':');
}
