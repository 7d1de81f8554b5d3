#include "VTTask.h"

#include "VTClock.h"
#include "VTInfo.h"

#include <QUuid>

const QString VTTask::contextRequestIdKey = QStringLiteral("__vt__context_req_id");

VTTask::VTTask(const QMap<QString, QVariant>& params, QString name)
    : m_startTime(VTClock::currentMSecs())
    , m_state(0)
    , m_taskUID(QUuid::createUuid().toString())
    , m_params(params)
    , m_name(name)
{
    if (m_params.contains(contextRequestIdKey))
        m_msgID = m_params.value(contextRequestIdKey).toString();
    VTInfo::instance()->taskStarted(m_taskUID, m_msgID, m_name, m_params, m_startTime);
}

VTTask::~VTTask()
{
    VTInfo::instance()->taskFinished(m_taskUID);
}

qint64 VTTask::getUpTime() const
{
    return VTClock::currentMSecs() - m_startTime;
}

QString VTTask::nestedParameter(const QString& key) const
{
    const QVariantMap inner = m_params.value(m_name).toMap();
    const auto found = inner.constFind(key);
    if (found == inner.constEnd() || !found->isValid() || found->userType() == QMetaType::Nullptr)
        return QString();
    const QString value = found->toString();
    return value.isNull() ? QStringLiteral("") : value;
}
