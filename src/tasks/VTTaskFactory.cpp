#include "VTTaskFactory.h"

#include "VTTask.h"
#include "performers/ConsoleUser.h"
#include "performers/FileDate.h"
#include "performers/FileExists.h"
#include "performers/FileSize.h"
#include "performers/Hostname.h"
#include "performers/LoggedUsers.h"
#include "performers/Managed.h"
#include "performers/OSCPE.h"
#include "performers/OperatingSystem.h"
#include "performers/ProcessKill.h"
#include "performers/ProcessRunning.h"
#include "performers/RunScript.h"
#include "performers/ScriptResult.h"
#include "performers/ShutDown.h"
#include "performers/Upgrade.h"
#include "performers/VTVersion.h"

#include <QtDebug>

const GuiClient* VTTaskFactory::m_pGuiClient = nullptr;
bool VTTaskFactory::m_init = false;

namespace {

using Creator = VTTask* (*)(const QMap<QString, QVariant>&);

template<class Performer>
VTTask* create(const QMap<QString, QVariant>& params)
{
    return new Performer(params);
}

struct TaskRow
{
    const QString* name;
    Creator creator;
};

// Matched in this order; the first exact name wins.
const TaskRow taskTable[] = {
    {&FileDate::msg_name, &create<FileDate>},
    {&FileExists::msg_name, &create<FileExists>},
    {&FileSize::msg_name, &create<FileSize>},
    {&LoggedUsers::msg_name, &create<LoggedUsers>},
    {&OperatingSystem::msg_name, &create<OperatingSystem>},
    {&ProcessRunning::msg_name, &create<ProcessRunning>},
    {&ScriptResult::msg_name, &create<ScriptResult>},
    {&ConsoleUser::msg_name, &create<ConsoleUser>},
    {&VTVersion::msg_name, &create<VTVersion>},
    {&Hostname::msg_name, &create<Hostname>},
    {&OSCPE::msg_name, &create<OSCPE>},
    {&Managed::msg_name, &create<Managed>},
    {&RunScript::msg_name, &create<RunScript>},
    {&ShutDown::msg_name, &create<ShutDown>},
    {&Upgrade::msg_name, &create<Upgrade>},
    {&ProcessKill::msg_name, &create<ProcessKill>},
};

} // namespace

void VTTaskFactory::init(const GuiClient* client)
{
    m_pGuiClient = client;
    if (client) {
        qDebug() << "VTTaskFatory initialized";
        m_init = true;
    } else {
        qCritical() << "VTTaskFatory initialization failed!";
        m_init = false;
    }
}

VTTask* VTTaskFactory::createVTTask(QString name, const QMap<QString, QVariant>& params)
{
    if (!m_init) {
        qCritical() << "VTTaskFactory is not initialized! cannot create task";
        return nullptr;
    }
    VTTask* task = nullptr;
    for (const TaskRow& row : taskTable) {
        if (*row.name == name) {
            task = row.creator(params);
            break;
        }
    }
    const QString taskName = task ? task->m_name : QString();
    const QString msgID = task ? task->getTaskMsgID() : QString();
    qDebug().noquote() << (QStringLiteral("created task [") + taskName + QStringLiteral("]")
                           + QStringLiteral(" msg id[") + msgID + QStringLiteral("]"));
    return task;
}
