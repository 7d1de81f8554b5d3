#pragma once

#include "ScriptPerformer.h"

#include <QMap>
#include <QString>
#include <QVariant>

// Starts a script sent inline or by URL in the background and answers once it is launched.
class RunScript : public ScriptPerformer
{
    Q_OBJECT

public:
    // Removes the script files of earlier launches that are no longer in use.
    explicit RunScript(const QMap<QString, QVariant>& params);

    ~RunScript() override;

    void perform() override;

    static const QString msg_name;
};
