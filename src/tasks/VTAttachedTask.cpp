#include "VTAttachedTask.h"

void VTAttachedTask::go()
{
    perform();
    m_state = 2;
    emit finished(m_taskUID);
}
