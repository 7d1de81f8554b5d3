#include "VTFieldsGroups.h"

#include "performers/ConsoleUser.h"
#include "performers/LoggedUsers.h"

#include <utility>

QVector<QSet<QString>> VTFieldsGroups::m_groups;
bool VTFieldsGroups::m_isInitialized = false;

void VTFieldsGroups::init()
{
    m_isInitialized = true;
    m_groups.append(QSet<QString> {LoggedUsers::msg_name, ConsoleUser::msg_name});
}

void VTFieldsGroups::getGroup(const QString& field, QSet<QString>& group)
{
    if (!m_isInitialized)
        init();
    for (const QSet<QString>& candidate : std::as_const(m_groups)) {
        if (candidate.contains(field)) {
            group = candidate;
            return;
        }
    }
}
