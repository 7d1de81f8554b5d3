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
