#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QtGlobal>

// Records every Qt log message while it exists, so tests can check exact log texts and levels
// and also that a text was NOT logged. Messages still reach the previous handler.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QList<QPair<QtMsgType, QString>> messages() const;
    // True when a message of `type` contains `text`.
    bool contains(QtMsgType type, const QString& text) const;
    // True when any message at all contains `text`.
    bool containsText(const QString& text) const;
    int count(QtMsgType type) const;
    void clear();
};
