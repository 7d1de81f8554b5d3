#pragma once

#include <QSet>
#include <QString>
#include <QVector>

// Fields that the server only ever wants together: asking for one of a group resolves them all.
class VTFieldsGroups
{
public:
    static void init();
    // Replaces `group` with the group that holds `field`; leaves it as it is when none does.
    static void getGroup(const QString& field, QSet<QString>& group);

private:
    static QVector<QSet<QString>> m_groups;
    static bool m_isInitialized;
};
