#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QString>

// Hides the values of the password keys in messages before they reach the log or go back to the
// server. The masking works on the parsed JSON rather than on its text, so every value of those
// keys is hidden whatever its spacing, escaping or nesting depth; null values carry no secret and
// stay null.
class VTPasswordMask
{
public:
    static const QString s_longMask; // for "protection_password" and "password_salt"
    static const QString s_shortMask; // for "sudo_password"

    // The mask that replaces values of `key`, or a null string when `key` is not secret.
    static QString maskFor(const QString& key);

    static QJsonObject masked(const QJsonObject& object);
    static QJsonValue masked(const QJsonValue& value);

    // A server's script may carry a credential of its own, and the log is readable by more than
    // root: the log keeps only its size, though answers to the server still echo it.
    static bool isLogOnlySecret(const QString& key);
    static QString logOnlyMask(const QString& value);

    // Indented JSON of the masked object, the script texts left out too, as the log lines print
    // messages.
    static QByteArray forLog(const QJsonObject& object);

    // Text that did not parse as JSON is masked by pattern instead, so a cut-off or malformed
    // message holding a password does not put it in the log either. The frames of one message are
    // logged one by one: with `carry`, what the end of one frame leaves open (a secret's value
    // that goes on, or the start of a key) is kept there, so the next frame's part of the secret
    // is masked as well. It holds no secret itself.
    static QString forPlainText(const QString& text, QString* carry = nullptr);
};
