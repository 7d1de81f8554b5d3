#include "LogCapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex g_mutex;
QList<QPair<QtMsgType, QString>> g_messages;
QtMessageHandler g_previous = nullptr;
int g_active = 0;

void captureHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    {
        QMutexLocker lock(&g_mutex);
        g_messages.append({type, text});
    }
    if (g_previous)
        g_previous(type, context, text);
}

} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&g_mutex);
    if (g_active++ == 0) {
        g_messages.clear();
        g_previous = qInstallMessageHandler(captureHandler);
    }
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&g_mutex);
    if (--g_active == 0)
        qInstallMessageHandler(g_previous);
}

QList<QPair<QtMsgType, QString>> LogCapture::messages() const
{
    QMutexLocker lock(&g_mutex);
    return g_messages;
}

bool LogCapture::contains(QtMsgType type, const QString& text) const
{
    const auto all = messages();
    for (const auto& m : all) {
        if (m.first == type && m.second.contains(text))
            return true;
    }
    return false;
}

bool LogCapture::containsText(const QString& text) const
{
    const auto all = messages();
    for (const auto& m : all) {
        if (m.second.contains(text))
            return true;
    }
    return false;
}

int LogCapture::count(QtMsgType type) const
{
    const auto all = messages();
    int n = 0;
    for (const auto& m : all) {
        if (m.first == type)
            ++n;
    }
    return n;
}

void LogCapture::clear()
{
    QMutexLocker lock(&g_mutex);
    g_messages.clear();
}
