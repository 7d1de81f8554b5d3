// The least a client of the management server can be with the libraries the agent is built on:
// Qt's event loop, one TLS WebSocket session that trusts only the configured certificate, and a
// log4cxx rolling file that every message goes through. It reads the first server of the settings
// file beside it, sends config_request once connected and a keep-alive after the first answer,
// and does nothing else. The bench measures it beside the daemon, so that what the daemon costs
// above what its libraries need for a session is plain.

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>
#include <QWebSocket>

#include <log4cxx/helpers/pool.h>
#include <log4cxx/logger.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/rolling/rollingfileappender.h>

#include <memory>

namespace {

log4cxx::LoggerPtr logger()
{
    static const log4cxx::LoggerPtr qt = log4cxx::Logger::getLogger("Qt");
    return qt;
}

void toLog(QtMsgType, const QMessageLogContext&, const QString& message)
{
    LOG4CXX_DEBUG(logger(), message.toStdString());
}

void setupLog(const QString& dir)
{
    auto layout
        = std::make_shared<log4cxx::PatternLayout>(LOG4CXX_STR("FLOOR %r %d{dd MMM yyyy HH:mm:ss.SSS} [%p] %m%n"));
    log4cxx::helpers::Pool pool;
    layout->activateOptions(pool);
    auto appender = std::make_shared<log4cxx::rolling::RollingFileAppender>();
    appender->setLayout(layout);
    appender->setFile((dir + "/log/ot_vt.log").toStdString());
    appender->setAppend(true);
    appender->setMaxBackupIndex(10);
    appender->setMaximumFileSize(10 * 1024 * 1024);
    appender->activateOptions(pool);
    logger()->addAppender(appender);
    qInstallMessageHandler(toLog);
}

QByteArray message(const QString& type)
{
    const QJsonObject info {{"dst", "linux"}, {"id", "1"}, {"src", "127.0.0.1"}, {"type", "proxy"}};
    return QJsonDocument(QJsonObject {{"msg", QJsonObject {{"type", type}}}, {"msg_info", info}})
        .toJson(QJsonDocument::Compact);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString dir = QCoreApplication::applicationDirPath();
    setupLog(dir);

    QFile file(dir + "/com.ostrelle.vantorel.json");
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical() << "no settings file";
        return 1;
    }
    const QJsonObject site = QJsonDocument::fromJson(file.readAll()).object()["sites"].toArray().first().toObject();
    const QJsonObject server = site["servers"].toArray().first().toObject();

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromData(server["cert"].toString().toUtf8()));
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    QWebSocket socket;
    socket.setSslConfiguration(tls);
    int answers = 0;
    QObject::connect(&socket, &QWebSocket::connected, [&] {
        qDebug() << "connected";
        socket.sendTextMessage(QString::fromUtf8(message("config_request")));
    });
    QObject::connect(&socket, &QWebSocket::textMessageReceived, [&](const QString& text) {
        qDebug() << "Message received:" << text;
        if (++answers == 1)
            socket.sendTextMessage(QString::fromUtf8(message("kpa")));
    });
    QObject::connect(&socket, &QWebSocket::disconnected, &app, &QCoreApplication::quit);
    QUrl url;
    url.setScheme("wss");
    url.setHost(server["server"].toString());
    url.setPort(server["port"].toInt());
    url.setPath(site["resource"].toString());
    qDebug() << "Connecting to server:" << url.toString();
    socket.open(url);
    return app.exec();
}
