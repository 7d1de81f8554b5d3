#include "TestInstanceLock.h"

#include <QDir>

TestInstanceLock::TestInstanceLock()
    : m_lock(QDir::tempPath() + "/vantorel-test-instance.lock")
{
    // Stale locks from a killed test process are taken over by QLockFile itself.
    m_lock.setStaleLockTime(0);
    m_locked = m_lock.tryLock(10 * 60 * 1000);
}
