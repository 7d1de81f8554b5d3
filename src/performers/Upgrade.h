#pragma once

#include "tasks/VTAttachedTask.h"

#include <QMap>
#include <QString>
#include <QVariant>

class QIODevice;

// Replaces the agent with the package behind a URL: downloads the variant for this machine's word
// size, unpacks it and hands over to the package's own update script, which outlives the agent.
class Upgrade : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit Upgrade(const QMap<QString, QVariant>& params);

    void perform() override;
    // On failure the reason is left in m_upgradeError.
    bool upgrade(QString url);
    bool download(QString url, QIODevice& device);

    static const QString msg_name;
    static const QString msg_param_url;
    static int s_downloadTimeoutMs;
    // Unpacking runs on the session's thread; a tar that hangs must not hold it for ever.
    static const int s_unpackTimeoutMs;

    // The package address for this machine's word size: every "update" in the file name becomes
    // its variant.
    static QString variantUrl(const QString& url);

private:
    static bool isEncrypted(const QString& url);
    // With a verification key installed, or when `required`, the package must carry a valid
    // detached signature.
    bool checkSignature(const QString& packageUrl, const QString& packageFile, bool required);

    QString m_upgradeError;
    static bool s_inProgress;
};
