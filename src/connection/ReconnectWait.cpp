#include "ReconnectWait.h"

#include <QDebug>

#include <algorithm>

int ReconnectWait::s_failedRoundsBeforeGrowth = 3;
int ReconnectWait::s_maxGrowth = 4;
int ReconnectWait::s_maxCentreSeconds = 120;
int ReconnectWait::s_lastingSessionMs = 60000;
int ReconnectWait::s_maxImmediateSpreadMs = 250;
quint32 ReconnectWait::s_seed = 0;

namespace {

// Far beyond any cap, and small enough that the doubling below cannot overflow.
const int maxCountedRounds = 1000;

} // namespace

ReconnectWait::ReconnectWait()
    : m_random(s_seed != 0 ? s_seed : QRandomGenerator::system()->generate())
{
}

void ReconnectWait::roundFailed(int intervalSeconds)
{
    setFailedRounds(std::min(m_failedRounds + 1, maxCountedRounds), intervalSeconds);
}

void ReconnectWait::sessionLasted(int intervalSeconds)
{
    setFailedRounds(0, intervalSeconds);
}

void ReconnectWait::setFailedRounds(int rounds, int intervalSeconds)
{
    const int before = centreSeconds(intervalSeconds);
    m_failedRounds = rounds;
    const int after = centreSeconds(intervalSeconds);
    // Once per change, so that a long outage does not fill the log with one line per attempt.
    if (after != before) {
        qWarning().noquote() << QStringLiteral("Reconnect wait is now about %1 s (%2 failed rounds in a row)")
                                    .arg(after)
                                    .arg(m_failedRounds);
    }
}

int ReconnectWait::centreSeconds(int intervalSeconds) const
{
    const int interval = std::max(1, intervalSeconds);
    const int cap = std::max(interval, std::min(s_maxGrowth * interval, s_maxCentreSeconds));
    int centre = interval;
    for (int round = s_failedRoundsBeforeGrowth; round <= m_failedRounds && centre < cap; ++round) {
        centre = std::min(centre * 2, cap);
    }
    return centre;
}

int ReconnectWait::drawMs(int intervalSeconds, int msPerSecond)
{
    const qint64 centre = qint64(centreSeconds(intervalSeconds)) * msPerSecond;
    // Wide enough that a fleet which lost its server at one instant puts no more than about a
    // tenth of its attempts into any one second of its return, for an interval of ten seconds.
    const qint64 low = std::max<qint64>(centre / 4, msPerSecond);
    const qint64 high = std::max(low, centre * 7 / 4);
    return int(low + m_random.bounded(quint32(high - low + 1)));
}

int ReconnectWait::drawImmediateMs()
{
    return m_random.bounded(std::max(0, s_maxImmediateSpreadMs) + 1);
}
