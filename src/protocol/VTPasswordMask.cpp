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

namespace {

// A key as a JSON writer may spell it: any of its letters may be a \u escape.
QString keyPattern(const QString& key)
{
    QString pattern;
    for (const QChar c : key) {
        const QString hex = QString::number(c.unicode(), 16).rightJustified(4, QLatin1Char('0'));
        pattern += QStringLiteral("(?:%1|\\\\u(?i:%2))").arg(QRegularExpression::escape(c), hex);
    }
    return pattern;
}

QString unescapedKey(const QString& text)
{
    static const QRegularExpression escape(QStringLiteral("\\\\u([0-9a-fA-F]{4})"));
    QString key;
    int last = 0;
    QRegularExpressionMatchIterator it = escape.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        key += text.mid(last, match.capturedStart() - last);
        key += QChar(match.captured(1).toUShort(nullptr, 16));
        last = match.capturedEnd();
    }
    return key + text.mid(last);
}

QString secretPattern()
{
    QStringList keys;
    for (const char* key : {"protection_password", "password_salt", "sudo_password", "run_command"})
        keys << keyPattern(QString::fromLatin1(key));
    // A key, then either a string (possibly cut off before its closing quote, even right after a
    // backslash) or a bare token.
    return QStringLiteral(R"re(("(%1)"\s*:\s*)("(?:[^"\\]|\\.)*\\?"?|[^\s,}\]]+))re").arg(keys.join('|'));
}

int trailingBackslashes(const QString& text, int end)
{
    int count = 0;
    while (end - count > 1 && text.at(end - count - 1) == QLatin1Char('\\'))
        ++count;
    return count;
}

} // namespace

QString VTPasswordMask::forPlainText(const QString& text, QString* carry)
{
    static const QRegularExpression secret(secretPattern());
    // Enough for any of the keys, every letter escaped, with the blanks a writer puts around its
    // colon.
    static const int keyContext = 160;

    const int offset = carry ? carry->size() : 0;
    const QString all = carry ? *carry + text : text;
    QString result;
    int last = offset;
    QString open;
    QRegularExpressionMatchIterator it = secret.globalMatch(all);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        if (match.capturedEnd() <= offset)
            continue; // logged with an earlier frame
        const int valueStart = match.capturedStart(3);
        const QString value = match.captured(3);
        const QString key = unescapedKey(match.captured(2));
        // A script's size counts what this frame holds of it.
        const int shownFrom = qMax(valueStart, offset);
        const QString mask
            = isLogOnlySecret(key) ? logOnlyMask(all.mid(shownFrom, match.capturedEnd() - shownFrom)) : maskFor(key);
        const bool quoted = value.startsWith(QLatin1Char('"'));
        const bool endsWithQuote = quoted && value.size() >= 2 && value.endsWith(QLatin1Char('"'));
        // An even run of backslashes before the last quote escapes only itself.
        const int backslashes = trailingBackslashes(value, endsWithQuote ? value.size() - 1 : value.size());
        const bool closed = endsWithQuote && backslashes % 2 == 0;
        if (valueStart >= offset) {
            result += QStringView(all).mid(last, valueStart - last);
            result += QLatin1Char('"') + mask + QLatin1Char('"');
        } else {
            // The value began in an earlier frame, which already showed its opening.
            result += QStringView(all).mid(last, qMax(0, match.capturedStart() - last));
            result += mask + (closed ? QStringLiteral("\"") : QString());
        }
        last = match.capturedEnd();
        open.clear();
        if (last == all.size() && (!quoted || !closed)) {
            // The next frame goes on with this value: carry its key and just enough of its state.
            const bool escapePending = quoted && backslashes % 2 == 1;
            open = match.captured(1) + (quoted ? QStringLiteral("\"") + (escapePending ? "\\" : "") : "x");
        }
    }
    result += QStringView(all).mid(last);
    if (carry)
        *carry = !open.isEmpty() ? open : all.mid(qMax(last, all.size() - keyContext));
    return result;
}
