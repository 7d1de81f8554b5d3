#pragma once

#include <QLockFile>

// The agent's instance guard and GUI pipe have fixed machine-wide names, so tests that start a
// daemon or listen on the pipe hold this lock for as long as they do, across test processes.
class TestInstanceLock
{
public:
    TestInstanceLock();
    bool isLocked() const { return m_locked; }

private:
    QLockFile m_lock;
    bool m_locked = false;
};
