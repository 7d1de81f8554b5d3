#pragma once

#include <QObject>

// The program's own application object: what main creates beside the Qt application and runs.
class BasicApp : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual bool initialize() = 0;

signals:
    void quit();

public slots:
    // The GUI channel ends the process through this slot; the signal reaches the Qt application.
    void Quit();
};
