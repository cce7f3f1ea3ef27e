#pragma once

// The service as an administrator runs it: the executable with its own configuration file, a real MariaDB holding
// the PBX's CEL and CDR tables, the AMI server and the CRM portal. Shared by the suites that run it.

#include "crm/bitrix/constants.h"
#include "crm/bitrix/registrationstore.h"
#include "crm/crmportalmodel.h"
#include "pbx/asterisk/tst_api_support.h"
#include "support/fakeamiserver.h"
#include "support/mariadbfixture.h"

#include <QDir>
#include <QFileInfo>
#include <QAuthenticator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::MariaDbFixture;
using Orvix::Tests::MariaDbSettings;

// Set-up of one test function: a database of the suite's name, the fake AMI and portal, a configuration file and
// the generated directory beside the executable; the service itself runs from startService to tearDown.
class ServiceHarness
{
protected:
    void setUp();
    void tearDown();
    bool startService(const QStringList &arguments = {}, int restartDelayMsec = 500);
    void stopService();
    QStringList traceLines() const;
    QString log() const;
    // Overlays the given sections' keys on the configuration file.
    bool mergeConfig(const QJsonObject &sections);
    // Whether the call flow has finished the task of a call's end.
    bool callFlowDone() const;
    // Sends a request with the digest credentials of the configuration; the reply is the caller's.
    QNetworkReply *post(const QString &path, const QByteArray &body, const QByteArray &contentType);
    static bool waitFinished(QNetworkReply *reply);
    int countWrites(const QString &prefix) const;
    // The CEL position the service saved; -1 before it saved one.
    int savedPosition() const;
    // The recordings the service saved as still to attach; -1 before it saved any.
    int owedRecordings() const;
    // The call events the service keeps for its next start.
    int keptEvents() const;

    QTemporaryDir m_dir;
    std::unique_ptr<FakeAmiServer> m_ami;
    std::unique_ptr<FakeCrmServer> m_portal;
    std::unique_ptr<CrmPortalModel> m_crm;
    QNetworkAccessManager m_network;
    quint16 m_httpPort = 0;
    MariaDbSettings m_database;
    QString m_generatedDir;
    QProcess m_service;
};

inline void ServiceHarness::setUp()
{
    QVERIFY(m_dir.isValid());
    QFile::remove(m_dir.filePath("calvena.log"));
    m_ami = std::make_unique<FakeAmiServer>();
    QVERIFY(m_ami->listen());
    m_portal = std::make_unique<FakeCrmServer>();
    QVERIFY(m_portal->isListening());
    m_portal->addAccessToken(QStringLiteral("seeded-access"));
    m_crm = std::make_unique<CrmPortalModel>(*m_portal);
    m_portal->setRestResult(QStringLiteral("telephony.externalLine.get"), QJsonArray());
    m_database = MariaDbFixture::createDatabase(QCoreApplication::applicationName());
    QVERIFY2(m_database.isValid(), qPrintable(m_database.error));
    ApiTest::Database db(m_database);
    QVERIFY2(db.createSchema(), qPrintable(db.error()));

    // The state lives beside the executable; a postfix of our own keeps other runs' files apart.
    const QString postfix = QStringLiteral("_%1_%2").arg(QCoreApplication::applicationName()).arg(QCoreApplication::applicationPid());
    m_generatedDir = QFileInfo(QStringLiteral(CALVENA_BINARY)).absolutePath() + QStringLiteral("/generated") + postfix;
    QDir(m_generatedDir).removeRecursively();
    // The portal knows this token already: no login goes first.
    QVERIFY(QDir().mkpath(m_generatedDir));
    QFile token(m_generatedDir + QStringLiteral("/token.json"));
    QVERIFY(token.open(QIODevice::WriteOnly));
    token.write(QJsonDocument(QJsonObject{{"access_token", "seeded-access"}, {"refresh_token", "seeded-refresh"}})
                    .toJson());
    token.close();

    // A free port for the service's own HTTP listener.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    m_httpPort = probe.serverPort();
    probe.close();

    QVERIFY(QDir().mkpath(m_dir.filePath("recordings")));
    const QJsonObject config{
        {"App", QJsonObject{{"log_file", m_dir.filePath("calvena.log")},
                            {"log_level", "debug"},
                            {"generated_postfix", postfix},
                            {"history_start_date", "2000-01-01 00:00:00"}}},
        {"Bitrix", QJsonObject{{"host", m_portal->baseUrl()}, {"user_login", "admin"}, {"user_password", "secret"},
                               {"user_id", 1}, {"execution_loop_interval_msec", 5}}},
        {"WebServer", QJsonObject{{"listen_host", "127.0.0.1"}, {"listen_port", int(m_httpPort)},
                                  {"use_http", true}, {"user", "operator"}, {"password", "Pa55-word"}}},
        {"Asterisk", QJsonObject{{"host", m_ami->host()}, {"port", int(m_ami->port())},
                                 {"user", "crm"}, {"password", "crmsecret"},
                                 {"recordings_dir", m_dir.filePath("recordings")},
                                 {"recordings_dir_subdirs_by_date", false}}},
        {"Database", QJsonObject{{"host", m_database.host}, {"port", m_database.port},
                                 {"user", m_database.user}, {"password", m_database.password},
                                 {"database", m_database.database}}},
    };
    QFile file(m_dir.filePath("config.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(config).toJson());
}

inline void ServiceHarness::tearDown()
{
    stopService();
    QDir(m_generatedDir).removeRecursively();
    QDir(m_generatedDir + QStringLiteral("_check")).removeRecursively(); // a check's own token
    m_crm.reset();
    m_portal.reset();
    m_ami.reset();
}

inline bool ServiceHarness::startService(const QStringList &arguments, int restartDelayMsec)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(Orvix::CRM::Bitrix::kTokenUrlVariable), m_portal->tokenUrl().toString());
    // A lost link is restarted after this instead of a minute.
    environment.insert(QStringLiteral("CALVENA_RESTART_DELAY_MSEC"), QString::number(restartDelayMsec));
    // This machine's own PBX files are neither read nor changed.
    environment.insert(QStringLiteral("CALVENA_ASTERISK_CONFIG_ROOT"), m_dir.path());
    m_service.setProcessEnvironment(environment);
    m_service.setProgram(QStringLiteral(CALVENA_BINARY));
    m_service.setArguments(QStringList{QStringLiteral("--configname"), m_dir.filePath("config.json")} + arguments);
    // Started elsewhere than its own directory, as a service manager would.
    m_service.setWorkingDirectory(m_dir.path());
    m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_service.setStandardOutputFile(QProcess::nullDevice());
    m_service.start();
    return m_service.waitForStarted();
}

inline void ServiceHarness::stopService()
{
    if (m_service.state() == QProcess::NotRunning)
        return;
    m_service.terminate();
    if (!m_service.waitForFinished(5000)) {
        m_service.kill();
        m_service.waitForFinished(5000);
    }
}

// The call-trace lines of the log that mark an event ("Start"; warnings are left out), without
// their time stamps.
inline QStringList ServiceHarness::traceLines() const
{
    QFile file(m_dir.filePath("calvena.log"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines;
    const QStringList all = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : all) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        // [time] level [call id] task child-task status message
        if (fields.size() >= 7 && fields.at(2).startsWith(QLatin1Char('[')) && fields.at(5) == QLatin1String("Start"))
            lines.append(fields.mid(2).join(QLatin1Char('\t')));
    }
    return lines;
}

inline QString ServiceHarness::log() const
{
    QFile file(m_dir.filePath("calvena.log"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromUtf8(file.readAll());
}

inline bool ServiceHarness::mergeConfig(const QJsonObject &sections)
{
    QFile file(m_dir.filePath("config.json"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    for (auto section = sections.begin(); section != sections.end(); ++section) {
        QJsonObject merged = config.value(section.key()).toObject();
        const QJsonObject values = section.value().toObject();
        for (auto it = values.begin(); it != values.end(); ++it)
            merged.insert(it.key(), it.value());
        config.insert(section.key(), merged);
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(QJsonDocument(config).toJson()) > 0;
}

inline bool ServiceHarness::callFlowDone() const
{
    static const QRegularExpression done(QStringLiteral("\tCall ended\t[^\t]*\t(Completed|Not completed)\t"));
    return log().contains(done);
}

QNetworkReply *ServiceHarness::post(const QString &path, const QByteArray &body, const QByteArray &contentType)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_httpPort).arg(path)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    return m_network.post(request, body);
}

inline bool ServiceHarness::waitFinished(QNetworkReply *reply)
{
    if (reply->isFinished())
        return true;
    QSignalSpy finished(reply, &QNetworkReply::finished);
    return finished.wait(30000);
}

inline int ServiceHarness::countWrites(const QString &prefix) const
{
    int count = 0;
    for (const QString &write : m_crm->writes()) {
        if (write.startsWith(prefix))
            ++count;
    }
    return count;
}

inline int ServiceHarness::owedRecordings() const
{
    Orvix::CRM::Bitrix::RegistrationStore saved;
    saved.setFilePath(m_generatedDir + QStringLiteral("/crm_registrations.json"));
    Orvix::CRM::Bitrix::RegistrationStore::Uploads uploads;
    saved.load(&uploads);
    return QFileInfo::exists(saved.filePath()) ? uploads.size() : -1;
}

inline int ServiceHarness::keptEvents() const
{
    QFile file(m_generatedDir + QStringLiteral("/crm_events.json"));
    QSet<int> kept;
    for (const QByteArray &line : (file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray()).split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (record.contains("seq"))
            kept.insert(record.value("seq").toInt());
        for (const QJsonValue &done : record.value("done").toArray())
            kept.remove(done.toInt());
    }
    return kept.size();
}

inline int ServiceHarness::savedPosition() const
{
    QFile file(m_generatedDir + QStringLiteral("/state.json"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return QJsonDocument::fromJson(file.readAll()).object().value("previous_event_id").toInt(-1);
}
