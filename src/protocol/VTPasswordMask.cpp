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

namespace {

QJsonValue maskValue(const QJsonValue& value, bool forLog);

QJsonObject maskObject(const QJsonObject& object, bool forLog)
{
    QJsonObject result;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString mask = VTPasswordMask::maskFor(it.key());
        const bool hasValue = !it.value().isNull() && !it.value().isUndefined();
        if (!mask.isNull() && hasValue)
            result.insert(it.key(), mask);
        else if (forLog && hasValue && VTPasswordMask::isLogOnlySecret(it.key()))
            result.insert(it.key(), VTPasswordMask::logOnlyMask(it.value().toString()));
        else
            result.insert(it.key(), maskValue(it.value(), forLog));
    }
    return result;
}

QJsonValue maskValue(const QJsonValue& value, bool forLog)
{
    if (value.isObject())
        return maskObject(value.toObject(), forLog);
    if (value.isArray()) {
        QJsonArray result;
        for (const QJsonValue& element : value.toArray())
            result.append(maskValue(element, forLog));
        return result;
    }
    return value;
}

} // namespace

QJsonObject VTPasswordMask::masked(const QJsonObject& object)
{
    return maskObject(object, false);
}

QJsonValue VTPasswordMask::masked(const QJsonValue& value)
{
    return maskValue(value, false);
}

bool VTPasswordMask::isLogOnlySecret(const QString& key)
{
    return key == QLatin1String("run_command");
}

QString VTPasswordMask::logOnlyMask(const QString& value)
{
    return QStringLiteral("[script of %1 bytes, not logged]").arg(value.toUtf8().size());
}

QByteArray VTPasswordMask::forLog(const QJsonObject& object)
{
    return QJsonDocument(maskObject(object, true)).toJson(QJsonDocument::Indented);
}

QString VTPasswordMask::forPlainText(const QString& text)
{
    // A key, then either a string (possibly cut off before its closing quote) or a bare token.
    static const QRegularExpression secret(QStringLiteral(
        R"re(("(protection_password|password_salt|sudo_password|run_command)"\s*:\s*)("(?:[^"\\]|\\.)*"?|[^\s,}\]]+))re"));
    QString result;
    int last = 0;
    QRegularExpressionMatchIterator it = secret.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        result += QStringView(text).mid(last, match.capturedStart() - last);
        const QString key = match.captured(2);
        const QString mask = isLogOnlySecret(key) ? logOnlyMask(match.captured(3)) : maskFor(key);
        result += match.captured(1) + QLatin1Char('"') + mask + QLatin1Char('"');
        last = match.capturedEnd();
    }
    result += QStringView(text).mid(last);
    return result;
}
