#pragma once

#include "VTMsgHandler.h"

#include <QMap>
#include <QVariant>

class VTTask;

// Runs one action as a task named after it and answers whether it succeeded.
class VTActionHandler : public VTMsgHandler
{
    Q_OBJECT

public:
    VTActionHandler(const QJsonObject& json, BaseClient* client);
    ~VTActionHandler() override;

    void handle() override;

public slots:
    void onTaskFinished(QString strTaskID);
    void respond(VTTask* task, QString error = QString());

private:
    VTTask* m_task = nullptr;
    QMap<QString, QVariant> m_params;
    bool m_cancel = false;
    QString m_origId;
    QString m_actionName;
};
