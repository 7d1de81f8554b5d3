#include "TestInstanceLock.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFileInfo>

// Fixed like the resources it guards: a test that moves its own temporary directory must still
// meet the others here.
TestInstanceLock::TestInstanceLock(const QString& resource)
    : m_path(QStringLiteral("/tmp/vantorel-test-%1.lock").arg(resource))
    , m_lock(m_path)
{
    // Stale locks from a killed test process are taken over by QLockFile itself.
    m_lock.setStaleLockTime(0);
    QDeadlineTimer deadline(10 * 60 * 1000);
    while (!(m_locked = m_lock.tryLock(1000)) && !deadline.hasExpired())
        removeEmptyLeftover();
}

// A holder killed between creating the lock file and writing its pid into it leaves an empty
// file that QLockFile never takes for stale; every later test would wait out its whole bound.
void TestInstanceLock::removeEmptyLeftover()
{
    const QFileInfo file(m_path);
    if (file.exists() && file.size() == 0 && file.lastModified().msecsTo(QDateTime::currentDateTime()) > 5000)
        QFile::remove(file.filePath());
}
