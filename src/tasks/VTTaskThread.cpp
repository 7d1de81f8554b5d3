#include "VTTaskThread.h"

#include "VTTask.h"

#include <QtDebug>

VTTaskThread::VTTaskThread(VTTask* task)
    : m_task(task)
{
}

void VTTaskThread::run()
{
    qDebug() << "task thread calling performer [" << m_task->m_name << "] on msg with id[" << m_task->m_msgID << "]";
    m_task->perform();
}
