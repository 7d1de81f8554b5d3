#pragma once

#include <QElapsedTimer>
#include <QString>

class GuiServerState;

// The daemon's own check of the exit password an agent passes on. Wrong passwords make the next
// check wait longer, for every agent alike, so that guessing through the pipe gets nowhere.
class ExitPasswordCheck
{
public:
    // How long the next check has to wait; 0 when it may run now.
    qint64 msUntilNextCheck() const;
    // True when `typed` with the salt hashes to the digest; a mismatch delays the next check.
    bool verify(const QString& typed, const GuiServerState& state);

    // The wait after the first wrong password, doubled for each further one up to the maximum;
    // a quiet spell forgets earlier mistakes. Tests shorten them.
    static int s_firstDelayMs;
    static int s_maxDelayMs;
    static int s_forgetAfterMs;

private:
    int failures() const;

    int m_failures = 0;
    QElapsedTimer m_sinceFailure;
};
