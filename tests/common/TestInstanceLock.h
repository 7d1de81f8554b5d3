#pragma once

#include <QLockFile>
#include <QString>

// The agent's instance guard and GUI pipe have fixed machine-wide names, so tests that start a
// daemon or listen on the pipe hold this lock for as long as they do, across test processes and
// worktrees. Other machine-wide fixed resources (a system user made for a test) take a lock of
// their own name.
class TestInstanceLock
{
public:
    explicit TestInstanceLock(const QString& resource = QStringLiteral("instance"));
    bool isLocked() const { return m_locked; }

private:
    void removeEmptyLeftover();

    const QString m_path;
    QLockFile m_lock;
    bool m_locked = false;
};
