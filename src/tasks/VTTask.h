#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>

// One requested property or action: created by name, run once, read and deleted by its handler.
class VTTask : public QObject
{
    Q_OBJECT

public:
    VTTask(const QMap<QString, QVariant>& params, QString name);
    ~VTTask() override;

    qint64 getUpTime() const;
    QString getTaskMsgID() const { return m_msgID; }
    QString getTaskUID() const { return m_taskUID; }
    QString getName() const { return m_name; }
    QVariant getResult() const { return m_result; }
    QString getError() const { return m_error; }
    int getState() const { return m_state; }

public slots:
    virtual void go() = 0;
    virtual void perform() = 0;

public:
    // Handlers read m_name, m_result and m_error once the task has announced its end.
    qint64 m_startTime;
    int m_state;
    QString m_taskUID;
    QString m_msgID;
    QMap<QString, QVariant> m_params;
    QVariant m_result;
    QString m_error;
    QString m_name;

    // Where a handler puts the id of the request a task answers; it becomes the task's message id.
    static const QString contextRequestIdKey;

protected:
    // A key of the inner map stored under this task's name; a null string when either is absent
    // or the value is JSON null, so that "missing" and "empty" stay distinguishable.
    QString nestedParameter(const QString& key) const;
};
