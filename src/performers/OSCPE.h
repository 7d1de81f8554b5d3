#pragma once

#include "tasks/VTAttachedTask.h"

#include <QMap>

class OSCPE : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit OSCPE(const QMap<QString, QVariant>& params);
    ~OSCPE() override;

    void perform() override;

    QString getOsCpe(const QString& productTypeKey) const;

    static QString getCentosOsCpe();
    static QString getUbuntoOsCpe();
    static QString getOpenSuseOsCpe();
    static QString getSuseOsCpe();
    static QString getFedoraOsCpe();
    static QString getRedHatOsCpe();
    static QString getRedHatPrefix(const QString& prettyName);

    static const QString msg_name;

    // The platform identification; tests substitute other distributions.
    static QString (*s_productType)();
    static QString (*s_productVersion)();
    static QString (*s_prettyProductName)();

private:
    QMap<QString, int> m_distributions;
};
