#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class GuiServerState;

// The messages of the GUI pipe, as both ends write and read them: a key string followed by the
// values its key implies, each item in Qt 5.15's data-stream encoding (big-endian), whichever Qt
// either end is built with. There is no length or count on the wire, so this table of keys is
// what keeps the two ends in step.
class GuiPipeProtocol
{
public:
    enum class Values
    {
        None,
        OneString,
        OneInteger,
        ThreeStrings,
    };

    struct Message
    {
        QString key;
        QStringList texts;
        qint32 number = 0;
    };

    enum class Read
    {
        Complete,
        Incomplete,
        Invalid,
    };

    // Agent to daemon. The typed exit password travels as a message of its own just before
    // "quit": a daemon that does not know the key reads its value as one more ignored key and
    // still sees a plain "quit".
    inline static const QString settings = QStringLiteral("settings");
    inline static const QString quit = QStringLiteral("quit");
    inline static const QString exitPassword = QStringLiteral("exit_password");

    // Daemon to agent.
    inline static const QString conn = QStringLiteral("conn");
    inline static const QString compliance = QStringLiteral("compliance");
    inline static const QString server = QStringLiteral("server");
    inline static const QString port = QStringLiteral("port");
    inline static const QString complianceUrl = QStringLiteral("compliance_url");
    inline static const QString hashedPassword = QStringLiteral("hashed_password");
    inline static const QString salt = QStringLiteral("salt");
    inline static const QString dissolvableStatus = QStringLiteral("dissolvable_status");
    inline static const QString applicationType = QStringLiteral("application_type");
    inline static const QString enableProtectionPassword = QStringLiteral("enable_protection_password");
    inline static const QString hostname = QStringLiteral("hostname");
    inline static const QString notification = QStringLiteral("notification");
    // Answers a "quit" the daemon did not obey; the value says why.
    inline static const QString quitRefused = QStringLiteral("quit_refused");

    // What the pipe carries under "hashed_password" and "salt" when the daemon holds one: enough
    // for the agent to know that exiting needs the password, nothing to guess it from.
    inline static const QString secretStandIn = QString(36, QLatin1Char('*'));

    // Keys it does not know carry no value.
    static Values valuesOf(const QString& key);

    static QByteArray encode(const QString& key);
    static QByteArray encode(const QString& key, const QString& value);
    static QByteArray encode(const QString& key, qint32 value);
    // The values follow the key one by one, as separate strings.
    static QByteArray encode(const QString& key, const QStringList& values);

    // Takes one whole message from the front of `buffer`. Invalid when a string announces more
    // than `maxStringBytes` or an odd byte count: nothing marks where the next message would start.
    static Read take(QByteArray& buffer, Message& message, quint32 maxStringBytes);
    // Hands the whole messages at the front of `buffer` to `handle` in order, until only part of
    // one is left or `handle` returns false. False when the stream is invalid (see take): the
    // caller must close the connection, since it cannot be resumed.
    static bool takeAll(QByteArray& buffer, quint32 maxStringBytes, const std::function<bool(const Message&)>& handle);

    // The reply to "settings", in the order agents expect. The password digest and salt never
    // leave the daemon: only whether they are set.
    static QByteArray settingsBurst(const GuiServerState& state, const QString& status, const QString& compliance);
    // Applies a burst key to the agent's copy of the state; false for keys that are not part of it.
    static bool applyToState(const Message& message, GuiServerState& state);
};
