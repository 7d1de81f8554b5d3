#include "VTClock.h"

#include <QDateTime>

namespace {

qint64 systemMSecs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

qint64 (*VTClock::s_currentMSecs)() = &systemMSecs;
