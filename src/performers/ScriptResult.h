#pragma once

#include "ScriptPerformer.h"

#include <QMap>
#include <QString>
#include <QVariant>

// Runs a script sent inline or by URL, waits for it and answers with its standard output.
class ScriptResult : public ScriptPerformer
{
    Q_OBJECT

public:
    explicit ScriptResult(const QMap<QString, QVariant>& params);

    ~ScriptResult() override;

    void perform() override;

    static const QString msg_name;

    static int s_runTimeoutMs;
    // What an answer carries of a script's output; the rest is dropped.
    static const qint64 s_maxOutputBytes;
};
