#include "LogCapture.h"
#include "protocol/JsonMessage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

Q_DECLARE_METATYPE(eMsgType)

namespace {

QJsonObject obj(const char* text)
{
    return QJsonDocument::fromJson(text).object();
}

using ErrorMap = QMap<QString, QString>;

} // namespace

class TestJsonMessage : public QObject
{
    Q_OBJECT

private slots:
    void writeBody_data()
    {
        QTest::addColumn<eMsgType>("type");
        QTest::addColumn<ErrorMap>("errors");
        QTest::addColumn<QVariantMap>("fields");
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<QVariant>("actionSucceeded");
        QTest::addColumn<QJsonObject>("existingBody");
        QTest::addColumn<QJsonObject>("expectedBody");
        QTest::addColumn<QString>("expectedWarning");

        // Most rows leave most of the message at its defaults.
        const auto row
            = [](const char* name, eMsgType type, const QJsonObject& expectedBody, const ErrorMap& errors = {},
                 const QVariantMap& fields = {}, const QVariantMap& params = {}, const QVariant& actionSucceeded = {},
                 const QJsonObject& existingBody = {}, const QString& expectedWarning = {}) {
                  QTest::newRow(name) << type << errors << fields << params << actionSucceeded << existingBody
                                      << expectedBody << expectedWarning;
              };
        row("untouched message", eMsgNone, {});
        row("global error only", eMsgAction, obj(R"({"type":"action_response","error":"boom"})"), {{"global", "boom"}});
        row("field errors only", eMsgResolve,
            obj(R"({"type":"resolve_response","errors":{"linux_hostname":"failed"}})"), {{"linux_hostname", "failed"}});
        row("global and field errors split", eMsgResolve,
            obj(R"({"type":"resolve_response","error":"g","errors":{"a":"x"}})"), {{"global", "g"}, {"a", "x"}});
        row("resolve without fields or params", eMsgResolve, obj(R"({"type":"resolve_response"})"));
        row("resolve with fields and params", eMsgResolve,
            obj(R"({"type":"resolve_response","fields":{"linux_file_size":42,"user":"bob"},"params":{"p":true}})"), {},
            {{"linux_file_size", 42}, {"user", "bob"}}, {{"p", true}});
        row("troubleshoot carries params, not fields", eMsgTroubleshoot,
            obj(R"({"type":"troubleshoot_response","params":{"log":"text"}})"), {}, {{"f", 1}}, {{"log", "text"}});
        row("action outcome as text", eMsgAction, obj(R"({"type":"action_response","action_succeeded":"true"})"), {},
            {}, {}, true);
        row("reconfigure kind", eMsgReconfigure, obj(R"({"type":"reconfigure_response"})"));
        row("init_ok is not sent", eMsgInitOk, {}, {}, {}, {}, {}, {}, "Message is not designed to send : 8");
        row("compliance writes no type silently", eMsgCompliance, {});
        row("members already in the body stay", eMsgKpa, obj(R"({"time":5,"type":"kpa"})"), {}, {}, {}, {},
            obj(R"({"time":5,"type":"old"})"));
    }

    void writeBody()
    {
        QFETCH(eMsgType, type);
        QFETCH(ErrorMap, errors);
        QFETCH(QVariantMap, fields);
        QFETCH(QVariantMap, params);
        QFETCH(QVariant, actionSucceeded);
        QFETCH(QJsonObject, existingBody);
        QFETCH(QJsonObject, expectedBody);
        QFETCH(QString, expectedWarning);

        JsonMessage message;
        message.msg_info = {"ID-1", "10.0.0.5", "linux", "proxy"};
        message.msg.type = type;
        message.msg.errors = errors;
        message.msg.fields = fields;
        message.msg.params = params;
        message.msg.action_succeeded = actionSucceeded;

        QJsonObject json;
        if (!existingBody.isEmpty())
            json["msg"] = existingBody;
        LogCapture log;
        message.write(json);

        QCOMPARE(json["msg"].toObject(), expectedBody);
        QCOMPARE(json["msg_info"].toObject(), obj(R"({"id":"ID-1","src":"10.0.0.5","dst":"linux","type":"proxy"})"));
        if (expectedWarning.isEmpty()) {
            QCOMPARE(log.count(QtWarningMsg), 0);
        } else {
            QCOMPARE(log.count(QtWarningMsg), 1);
            QVERIFY(log.contains(QtWarningMsg, expectedWarning));
        }
    }

    void newMessageHasEmptyHeader()
    {
        QJsonObject json;
        JsonMessage().write(json);
        QCOMPARE(json["msg_info"].toObject(), obj(R"({"id":"","src":"","dst":"","type":""})"));
        QCOMPARE(json["msg"].toObject(), QJsonObject());
    }

    void isValid_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("warning");

        QTest::newRow("complete") << QByteArray(R"({"msg_info":{"id":"1","src":"a","dst":"b","type":"t"},
                                                    "msg":{"type":"kpa"}})")
                                  << QString();
        QTest::newRow("no header") << QByteArray(R"({"msg":{"type":"kpa"}})")
                                   << QString("Error parsing message. Couldn't find \"msg_info\" node");
        QTest::newRow("header not an object") << QByteArray(R"({"msg_info":[1],"msg":{"type":"kpa"}})")
                                              << QString("Error parsing message. Couldn't find \"msg_info\" node");
        QTest::newRow("empty id") << QByteArray(R"({"msg_info":{"id":"","src":"a","dst":"b","type":"t"},
                                                    "msg":{"type":"kpa"}})")
                                  << QString("Error parsing message. \"msg_info\" \"id\" is empty");
        QTest::newRow("numeric src") << QByteArray(R"({"msg_info":{"id":"1","src":7,"dst":"b","type":"t"},
                                                      "msg":{"type":"kpa"}})")
                                     << QString("Error parsing message. \"msg_info\" \"src\" is empty");
        QTest::newRow("missing dst") << QByteArray(R"({"msg_info":{"id":"1","src":"a","type":"t"},
                                                      "msg":{"type":"kpa"}})")
                                     << QString("Error parsing message. \"msg_info\" \"dst\" is empty");
        QTest::newRow("numeric type") << QByteArray(R"({"msg_info":{"id":"1","src":"a","dst":"b","type":3},
                                                       "msg":{"type":"kpa"}})")
                                      << QString("Error parsing message. C\"msg_info\" \"type\" is empty");
        QTest::newRow("empty body") << QByteArray(R"({"msg_info":{"id":"1","src":"a","dst":"b","type":"t"},
                                                     "msg":{}})")
                                    << QString("Error parsing message. Couldn't find \"msg\" node");
    }

    void isValid()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, warning);

        LogCapture log;
        QCOMPARE(JsonMessage::isValid(QJsonDocument::fromJson(json).object()), warning.isEmpty());
        if (warning.isEmpty()) {
            QCOMPARE(log.count(QtWarningMsg), 0);
        } else {
            QCOMPARE(log.count(QtWarningMsg), 1);
            QCOMPARE(log.messages().constFirst().second, warning);
        }
    }

    void read_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("fieldName");
        QTest::addColumn<bool>("result");
        QTest::addColumn<eMsgType>("type");
        QTest::addColumn<QVariantMap>("fields");
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<QString>("globalError");

        const QVariantMap none;
        QTest::newRow("resolve, whole fields")
            << QByteArray(R"({"type":"resolve_request","fields":{"a":1,"b":"x"},"params":{"a":{"k":"v"}}})")
            << QString() << true << eMsgResolve << QVariantMap {{"a", 1}, {"b", "x"}}
            << QVariantMap {{"a", QVariantMap {{"k", "v"}}}} << QString();
        QTest::newRow("resolve, one named field as text")
            << QByteArray(R"({"type":"resolve_request","fields":{"a":1,"b":"x"}})") << QString("a") << true
            << eMsgResolve << QVariantMap {{"a", "1"}} << none << QString();
        QTest::newRow("resolve, named field absent")
            << QByteArray(R"({"type":"resolve_request","fields":{"b":"x"}})") << QString("a") << true << eMsgResolve
            << QVariantMap {{"b", "x"}} << none << QString();
        QTest::newRow("fields and params of the wrong type read empty")
            << QByteArray(R"({"type":"resolve_request","fields":"a,b","params":[1,2]})") << QString() << true
            << eMsgResolve << none << none << QString();
        QTest::newRow("compliance") << QByteArray(R"({"type":"compliance"})") << QString() << true << eMsgCompliance
                                    << none << none << QString();
        QTest::newRow("not_internal accepted") << QByteArray(R"({"type":"not_internal"})") << QString() << true
                                               << eMsgNotInternal << none << none << QString();
        QTest::newRow("unknown type") << QByteArray(R"({"type":"foo","params":{"x":1}})") << QString() << false
                                      << eMsgNone << none << none << QString("Unknown message type :foo");
        QTest::newRow("numeric type is unknown") << QByteArray(R"({"type":2})") << QString() << false << eMsgNone
                                                 << none << none << QString("Unknown message type :");
    }

    void read()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, fieldName);
        QFETCH(bool, result);
        QFETCH(eMsgType, type);
        QFETCH(QVariantMap, fields);
        QFETCH(QVariantMap, params);
        QFETCH(QString, globalError);

        QJsonObject json;
        json["msg_info"] = obj(R"({"id":"R1","src":"server","dst":"agent","type":"proxy"})");
        json["msg"] = QJsonDocument::fromJson(body).object();

        LogCapture log;
        JsonMessage message;
        QCOMPARE(message.read(json, fieldName), result);
        QCOMPARE(message.msg.type, type);
        QCOMPARE(message.msg.fields, fields);
        QCOMPARE(message.msg.params, params);
        QCOMPARE(message.msg.errors.value("global"), globalError);
        QCOMPARE(log.count(QtWarningMsg), result ? 0 : 1);
        if (!result) {
            const QString typeText = json["msg"].toObject()["type"].toString();
            QCOMPARE(log.messages().constFirst().second,
                     QString("Error parsing message. Unknown message type : ") + typeText);
        }
    }

    void readAction_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("origid");
        QTest::addColumn<QString>("name");

        QTest::newRow("plain") << QByteArray(R"({"type":"action_request","name":"run","origid":"O1"})") << false
                               << QString("O1") << QString("run");
        QTest::newRow("cancel false still cancels")
            << QByteArray(R"({"type":"action_request","cancel":false,"origid":"O2"})") << true << QString("O2")
            << QString();
        QTest::newRow("numeric origid and name read empty")
            << QByteArray(R"({"type":"action_request","origid":12,"name":[]})") << false << QString() << QString();
    }

    void readAction()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, cancel);
        QFETCH(QString, origid);
        QFETCH(QString, name);

        QJsonObject json;
        json["msg"] = QJsonDocument::fromJson(body).object();
        JsonMessage message;
        QVERIFY(message.read(json, QString()));
        QCOMPARE(message.msg.type, eMsgAction);
        QCOMPARE(message.msg.cancel.toBool(), cancel);
        QCOMPARE(message.msg.origid, origid);
        QCOMPARE(message.msg.name, name);
    }

    void readThenWriteAnswersTheSender()
    {
        QJsonObject request;
        request["msg_info"] = obj(R"({"id":"REQ-7","src":"A","dst":"B","type":"route"})");
        request["msg"] = obj(R"({"type":"resolve_request","fields":{"linux_hostname":""}})");

        JsonMessage message;
        QVERIFY(message.read(request, QString()));
        QJsonObject reply;
        message.write(reply);

        QCOMPARE(reply["msg_info"].toObject(), obj(R"({"id":"REQ-7","src":"B","dst":"A","type":"route"})"));
        QCOMPARE(reply["msg"].toObject()["type"].toString(), QString("resolve_response"));
    }

    void agentIdsAreUniqueUpperCaseWithoutBraces()
    {
        const QRegularExpression form("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
        QSet<QString> seen;
        for (int i = 0; i < 200; ++i) {
            const QString id = JsonMessage::newMessageId();
            QVERIFY2(form.match(id).hasMatch(), qPrintable(id));
            seen.insert(id);
        }
        QCOMPARE(seen.size(), 200);
    }
};

QTEST_GUILESS_MAIN(TestJsonMessage)
#include "tst_jsonmessage.moc"
