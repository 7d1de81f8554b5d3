#pragma once

#include "tasks/VTAttachedTask.h"

#include <QFileInfo>

// The performers that answer about one file, named by the request's "linux_file_name".
class FilePerformer : public VTAttachedTask
{
    Q_OBJECT

public:
    using VTAttachedTask::VTAttachedTask;

    static const QString msg_param;

protected:
    // The requested path; a null string, with m_error set, when the request names none.
    QString requestedPath();
    // The requested file when it exists. Otherwise m_error is set and logged on behalf of
    // `performer`, and false is returned.
    bool findRequestedFile(const char* performer, QFileInfo& info);
};
