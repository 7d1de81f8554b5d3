#include "VTPasswordMask.h"

#include <QJsonArray>

const QString VTPasswordMask::s_longMask(36, QLatin1Char('*'));
const QString VTPasswordMask::s_shortMask(16, QLatin1Char('*'));

QString VTPasswordMask::maskFor(const QString& key)
{
    if (key == QLatin1String("protection_password") || key == QLatin1String("password_salt"))
        return s_longMask;
    if (key == QLatin1String("sudo_password"))
        return s_shortMask;
    return QString();
}

QJsonObject VTPasswordMask::masked(const QJsonObject& object)
{
    QJsonObject result;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString mask = maskFor(it.key());
        if (!mask.isNull() && !it.value().isNull() && !it.value().isUndefined())
            result.insert(it.key(), mask);
        else
            result.insert(it.key(), masked(it.value()));
    }
    return result;
}

QJsonValue VTPasswordMask::masked(const QJsonValue& value)
{
    if (value.isObject())
        return masked(value.toObject());
    if (value.isArray()) {
        QJsonArray result;
        for (const QJsonValue& element : value.toArray())
            result.append(masked(element));
        return result;
    }
    return value;
}

QByteArray VTPasswordMask::forLog(const QJsonObject& object)
{
    return QJsonDocument(masked(object)).toJson(QJsonDocument::Indented);
}

QString VTPasswordMask::forPlainText(const QString& text)
{
    // A key, then either a string (possibly cut off before its closing quote) or a bare token.
    static const QRegularExpression secret(QStringLiteral(
        R"re(("(protection_password|password_salt|sudo_password)"\s*:\s*)("(?:[^"\\]|\\.)*"?|[^\s,}\]]+))re"));
    QString result;
    int last = 0;
    QRegularExpressionMatchIterator it = secret.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        result += QStringView(text).mid(last, match.capturedStart() - last);
        result += match.captured(1) + QLatin1Char('"') + maskFor(match.captured(2)) + QLatin1Char('"');
        last = match.capturedEnd();
    }
    result += QStringView(text).mid(last);
    return result;
}
