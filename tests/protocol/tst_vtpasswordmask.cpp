#include "protocol/VTPasswordMask.h"

#include <QJsonDocument>
#include <QtTest>

namespace {

// Test JSON is written with single quotes; LONG and SHORT stand for the two masks.
QJsonObject j(const char* text)
{
    QByteArray json(text);
    json.replace('\'', '"');
    json.replace("LONG", QByteArray(36, '*'));
    json.replace("SHORT", QByteArray(16, '*'));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("test input is not JSON: %s", json.constData());
    return doc.object();
}

} // namespace

class TestVTPasswordMask : public QObject
{
    Q_OBJECT

private slots:
    void masksEveryValueOfSecretKeys_data()
    {
        QTest::addColumn<QJsonObject>("input");
        QTest::addColumn<QJsonObject>("expected");

        QTest::newRow("each key, its own length")
            << j("{'protection_password':'p','password_salt':'s','sudo_password':'x'}")
            << j("{'protection_password':'LONG','password_salt':'LONG','sudo_password':'SHORT'}");
        QTest::newRow("blanks around the colon") << j("{'msg' : { 'params' : { 'sudo_password' :   'secret' } } }")
                                                 << j("{'msg':{'params':{'sudo_password':'SHORT'}}}");
        QTest::newRow("two different values in different objects")
            << j("{'a':{'protection_password':'one'},'b':{'protection_password':'two'}}")
            << j("{'a':{'protection_password':'LONG'},'b':{'protection_password':'LONG'}}");
        QTest::newRow("inside arrays of sites and servers")
            << j("{'sites':[{'servers':[{'password_salt':'salt','port':1}]}]}")
            << j("{'sites':[{'servers':[{'password_salt':'LONG','port':1}]}]}");
        QTest::newRow("escaped quote inside the value")
            << j("{'sudo_password':'a\\'b','x':'y'}") << j("{'sudo_password':'SHORT','x':'y'}");
        QTest::newRow("non-string value is still a secret")
            << j("{'sudo_password':123456,'protection_password':{'v':'nested'}}")
            << j("{'protection_password':'LONG','sudo_password':'SHORT'}");
        QTest::newRow("empty value is masked too") << j("{'sudo_password':''}") << j("{'sudo_password':'SHORT'}");
        QTest::newRow("null carries no secret") << j("{'sudo_password':null}") << j("{'sudo_password':null}");
        QTest::newRow("key names as values and look-alike keys untouched")
            << j("{'name':'sudo_password','Sudo_Password':'v','sudo_password_hint':'h'}")
            << j("{'name':'sudo_password','Sudo_Password':'v','sudo_password_hint':'h'}");
    }

    void masksEveryValueOfSecretKeys()
    {
        QFETCH(QJsonObject, input);
        QFETCH(QJsonObject, expected);
        const QJsonObject copy = input;
        QCOMPARE(VTPasswordMask::masked(input), expected);
        // Dispatch keeps working on the real values.
        QCOMPARE(input, copy);
    }

    void logTextHoldsNoSecret()
    {
        const QJsonObject message = j("{'msg_info':{'id':'1'},'msg':{'type':'action_request',"
                                      "'params':{'sudo_password':'hunter2','run_command':'curl -u me:hunter3 x'}}}");
        const QByteArray text = VTPasswordMask::forLog(message);
        QVERIFY(text.contains('\n')); // indented, one member per line
        // The script's text stays out of the log, though the server still gets it back.
        QCOMPARE(QJsonDocument::fromJson(text).object(),
                 j("{'msg_info':{'id':'1'},'msg':{'type':'action_request',"
                   "'params':{'sudo_password':'SHORT','run_command':'[script of 20 bytes, not logged]'}}}"));
        QVERIFY(VTPasswordMask::masked(message).value("msg").toObject().value("params").toObject().value("run_command")
                == QString("curl -u me:hunter3 x"));
    }

    void masksSecretsInTextThatIsNotJson_data()
    {
        // The frames of one message, and what each is logged as, joined by "|".
        QTest::addColumn<QStringList>("frames");
        QTest::addColumn<QString>("expected");
        const QString shortMask(16, '*');
        const QString longMask(36, '*');

        // Written with single quotes for readability; they stand for double quotes.
        const auto q = [&](QString text) {
            return text.replace('\'', '"').replace("SHORT", shortMask).replace("LONG", longMask);
        };
        QTest::newRow("cut off before the closing quote")
            << QStringList {q("{'msg':{'params':{'sudo_password': 'hunter2")}
            << q("{'msg':{'params':{'sudo_password': 'SHORT'");
        QTest::newRow("two values, escaped quote, bare token")
            << QStringList {q("{'protection_password':'a\\'b','password_salt' : 42,")}
            << q("{'protection_password':'LONG','password_salt' : 'LONG',");
        QTest::newRow("script cut off") << QStringList {q("{'msg':{'params':{'run_command':'curl -u me:hunter3")}
                                        << q("{'msg':{'params':{'run_command':'[script of 19 bytes, not logged]'");
        QTest::newRow("keys spelt with escapes")
            << QStringList {q("{'sudo\\u005Fpassword':'hunter2','\\u0072un_command':'ls -l")}
            << q("{'sudo\\u005Fpassword':'SHORT','\\u0072un_command':'[script of 6 bytes, not logged]'");
        QTest::newRow("no secret key") << QStringList {"{not json at all"} << "{not json at all";
        // A message split into frames: each is logged on its own, the secret's rest included.
        QTest::newRow("value goes on in the next frame")
            << QStringList {q("{'msg':{'sudo_password':'hun"), q("ter2','type':'id'}}")}
            << q("{'msg':{'sudo_password':'SHORT'|SHORT','type':'id'}}");
        QTest::newRow("value spans a whole frame") << QStringList {q("{'sudo_password':'aa"), "bbbb", q("cc'}")}
                                                   << q("{'sudo_password':'SHORT'|SHORT|SHORT'}");
        QTest::newRow("cut right after a backslash") << QStringList {q("{'sudo_password':'a\\"), q("'b','x':'y'}")}
                                                     << q("{'sudo_password':'SHORT'|SHORT','x':'y'}");
        QTest::newRow("cut inside the key")
            << QStringList {q("{'password_sa"), q("lt' : 'NaCl', 'x':1}")} << q("{'password_sa|lt' : 'LONG', 'x':1}");
        QTest::newRow("bare token goes on")
            << QStringList {q("{'password_salt':12"), q("34,'x':1}")} << q("{'password_salt':'LONG'|LONG,'x':1}");
    }

    void masksSecretsInTextThatIsNotJson()
    {
        QFETCH(QStringList, frames);
        QFETCH(QString, expected);
        QStringList logged;
        QString carry;
        for (const QString& frame : frames)
            logged << VTPasswordMask::forPlainText(frame, frames.size() > 1 ? &carry : nullptr);
        QCOMPARE(logged.join('|'), expected);
    }
};

QTEST_GUILESS_MAIN(TestVTPasswordMask)
#include "tst_vtpasswordmask.moc"
