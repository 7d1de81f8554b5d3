#include "TestInstanceLock.h"

// Fixed like the resources it guards: a test that moves its own temporary directory must still
// meet the others here.
TestInstanceLock::TestInstanceLock(const QString& resource)
    : m_lock(QStringLiteral("/tmp/vantorel-test-%1.lock").arg(resource))
{
    // Stale locks from a killed test process are taken over by QLockFile itself.
    m_lock.setStaleLockTime(0);
    m_locked = m_lock.tryLock(10 * 60 * 1000);
}
