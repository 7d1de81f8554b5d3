#pragma once

#include <QtGlobal>

// The one clock that tasks and their statistics read, so that a test that replaces it controls
// both when a task started and when it ended.
class VTClock
{
public:
    static qint64 currentMSecs() { return s_currentMSecs(); }

    // Milliseconds since the epoch; tests replace it to get exact run times.
    static qint64 (*s_currentMSecs)();

    VTClock() = delete;
};
