#pragma once

#include "VTMsgHandler.h"

#include <QMap>
#include <QSet>
#include <QVariant>

class VTTask;

// Resolves host properties: one task per requested field (widened by the field groups), one
// answer per field as soon as its task ends.
class VTResolveHandler : public VTMsgHandler
{
    Q_OBJECT

public:
    VTResolveHandler(const QJsonObject& json, BaseClient* client);
    ~VTResolveHandler() override;

    void handle() override;

    // The most the answers to one request may add up to. Each answer echoes the request's body,
    // so thousands of unknown fields in one frame would otherwise multiply it into gigabytes.
    static const qint64 s_maxAnswerBytes;

private slots:
    void onTaskFinished(QString strTaskID);

private:
    void handleGroupedFields();
    void respond(VTTask* task, const QString& fieldName, const QString& error);

    QSet<QString> m_fields;
    QMap<QString, QVariant> m_params;
    QMap<QString, VTTask*> m_tasks;
    QString m_contextReqId;
    // Size of the request's body, which an answer in the full form carries again.
    qint64 m_echoBytes = 0;
    qint64 m_answerBytes = 0;
    int m_droppedAnswers = 0;
};
