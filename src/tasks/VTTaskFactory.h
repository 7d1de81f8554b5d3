#pragma once

#include <QMap>
#include <QString>
#include <QVariant>

class GuiClient;
class VTTask;

// Creates tasks by their exact name; the session client initialises it once with its GUI channel.
class VTTaskFactory
{
public:
    static void init(const GuiClient* client);
    // The new task is owned by the caller; null for an unknown name or before a successful init.
    static VTTask* createVTTask(QString name, const QMap<QString, QVariant>& params);

    static const GuiClient* m_pGuiClient;
    static bool m_init;

    VTTaskFactory() = delete;
};
