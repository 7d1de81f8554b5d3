#include "VTDetachedTask.h"

#include <QtDebug>

VTDetachedTask::VTDetachedTask(const QMap<QString, QVariant>& params, QString name)
    : VTTask(params, name)
    , m_thread(this)
{
}

VTDetachedTask::~VTDetachedTask()
{
    stopThread();
}

void VTDetachedTask::go()
{
    connect(&m_thread, &QThread::finished, this, &VTDetachedTask::onFinished, Qt::UniqueConnection);
    qDebug() << "starting thread for task [" << m_name << "] id[" << m_msgID << "]";
    m_thread.start(QThread::InheritPriority);
    m_state = 1;
    // A thread that could not be created never finishes; the task answers at once instead, still
    // from the event loop, as a detached task always does.
    if (!m_thread.isRunning() && !m_thread.isFinished()) {
        qCritical() << "cannot start thread for task [" << m_name << "] id[" << m_msgID << "]";
        m_error = QStringLiteral("Task thread cannot be started");
        QMetaObject::invokeMethod(this, &VTDetachedTask::onFinished, Qt::QueuedConnection);
    }
}

void VTDetachedTask::onFinished()
{
    m_state = 2;
    qDebug() << "thread finished for task [" << m_name << "] id[" << m_msgID << "]";
    emit finished(m_taskUID);
}

void VTDetachedTask::stopThread()
{
    if (!m_thread.isRunning())
        return;
    qCritical() << "terminating running thread  "
                << "msg id[" << m_msgID << "]";
    // The result is abandoned; the thread object must not outlive its run.
    m_thread.terminate();
    m_thread.wait();
}
