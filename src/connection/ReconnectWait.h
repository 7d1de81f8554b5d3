#pragma once

#include <QRandomGenerator>

// How long the connection manager waits before its next attempt. Every wait is drawn at random,
// so that a fleet that lost its server at one instant does not come back at one instant, and the
// wait grows while whole rounds of the rotation keep failing, so that a long outage costs the
// server a few attempts per agent per minute rather than one every interval.
//
// I is the current server's reconnect interval, F the number of rounds of the rotation in a row
// that wrapped around without a lasting session:
//
//   centre C = I                                       while F < s_failedRoundsBeforeGrowth
//            = I * 2^(F - s_failedRoundsBeforeGrowth + 1)
//   capped at max(I, min(s_maxGrowth * I, s_maxCentreSeconds))
//   scheduled wait: uniform in [C / 4, 7 C / 4], never under one second
//   immediate retry (close(), time-out): uniform in [0, s_maxImmediateSpreadMs]
//   F goes back to 0 only after a session that stayed up s_lastingSessionMs; a server that
//   accepts and drops at once keeps F growing.
class ReconnectWait
{
public:
    // The law's numbers, in one place; tests shorten them through TestSeam.
    static int s_failedRoundsBeforeGrowth;
    static int s_maxGrowth;
    static int s_maxCentreSeconds;
    static int s_lastingSessionMs;
    static int s_maxImmediateSpreadMs;
    // Non-zero: every new wait draws from this seed, so a test can replay a sequence.
    static quint32 s_seed;

    ReconnectWait();

    // A round of the rotation wrapped around without a lasting session; logs when the wait changes.
    void roundFailed(int intervalSeconds);
    // A session stayed up long enough: the wait is the interval again.
    void sessionLasted(int intervalSeconds);

    int failedRounds() const { return m_failedRounds; }
    int centreSeconds(int intervalSeconds) const;
    // The wait before a scheduled attempt, `msPerSecond` milliseconds per second of the interval.
    int drawMs(int intervalSeconds, int msPerSecond);
    int drawImmediateMs();

private:
    void setFailedRounds(int rounds, int intervalSeconds);

    int m_failedRounds = 0;
    QRandomGenerator m_random;
};
