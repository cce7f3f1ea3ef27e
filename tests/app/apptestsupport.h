#pragma once

#include "app/app.h"
#include "config/manager.h"
#include "crm/bitrix/constants.h"
#include "entities/clock.h"
#include "support/fakeamiserver.h"
#include "support/fakecrmserver.h"
#include "utils/settingsmanager.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// What tst_app and tst_approuting share: the lines the App logs, and the App in process against the fakes.

// Lines come from the SQL workers' threads too.
inline QMutex g_messagesMutex;
inline QStringList g_messages;
inline QList<QtMsgType> g_messageTypes;

inline void recordMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    QMutexLocker locker(&g_messagesMutex);
    g_messages.append(message);
    g_messageTypes.append(type);
}

inline int messageCount(QtMsgType type, const QString &contains)
{
    QMutexLocker locker(&g_messagesMutex);
    int count = 0;
    for (int i = 0; i < g_messages.size(); ++i)
        count += g_messageTypes.at(i) == type && g_messages.at(i).contains(contains) ? 1 : 0;
    return count;
}

inline QStringList recordedMessages()
{
    QMutexLocker locker(&g_messagesMutex);
    return g_messages;
}

inline bool messageSeen(const QString &message)
{
    return recordedMessages().contains(message);
}

// The App in process, with both of its links against the fake AMI server and the fake portal (whose
// token is already on file, so no login goes first). The database is unreachable: the SQL side waits,
// which these cases do not need. Its configuration and files are in a temporary directory, the generated
// directory beside the executable is named after the executable, so that the two run side by side. A test
// object's init() and cleanup() call initApp() and cleanupApp(). Main thread.
class AppTestCase : public QObject
{
protected:
    explicit AppTestCase(const QString &generatedPostfix)
        : m_generatedPostfix(generatedPostfix)
    {
    }

    void initApp()
    {
        QVERIFY(m_dir.isValid());
        m_ami = std::make_unique<Orvix::Tests::FakeAmiServer>();
        QVERIFY(m_ami->listen());
        m_portal = std::make_unique<Orvix::Tests::FakeCrmServer>();
        QVERIFY(m_portal->isListening());
        qputenv(Orvix::CRM::Bitrix::kTokenUrlVariable, m_portal->tokenUrl().toString().toUtf8());
        m_portal->addAccessToken(QStringLiteral("seeded-access"));
        for (const char *method : {"event.bind", "telephony.externalLine.add"})
            m_portal->setRestResult(method, true);
        m_portal->setRestResult(QStringLiteral("event.get"), QJsonArray());
        m_portal->setRestResult(QStringLiteral("telephony.externalLine.get"), QJsonArray());
        writeConfig();
        Orvix::Config::Manager::init();
        {
            QMutexLocker locker(&g_messagesMutex);
            g_messages.clear();
            g_messageTypes.clear();
        }
        qInstallMessageHandler(recordMessage);
    }

    void cleanupApp()
    {
        qInstallMessageHandler(nullptr);
        Orvix::Entities::Clock::setSource({});
        m_ami.reset();
        m_portal.reset();
        Orvix::Config::Manager::resetForTesting();
    }

    std::unique_ptr<Orvix::App> makeApp(Orvix::Config::Manager &config)
    {
        auto app = std::make_unique<Orvix::App>(nullptr, QString(), config);
        app->crm().connector().setTokenBaseDirectory(m_dir.path());
        app->crm().connector().setLocalesDirectory(m_dir.filePath("locales"));
        app->crm().setGeneratedDirectory(m_dir.filePath("generated" + m_generatedPostfix));
        app->pbx().setGeneratedDirectory(m_dir.filePath("generated" + m_generatedPostfix));
        // Nothing of this machine's own PBX is read or changed.
        app->configUpdater().setRootDirectory(m_dir.path());
        return app;
    }

    // Started, with the PBX link logged in and the CRM's events bound.
    bool startApp(Orvix::App &app)
    {
        app.start();
        return QTest::qWaitFor(
            [this] { return m_ami->frames(QStringLiteral("IAXpeers")).size() >= 1 && bindCount() >= 2; }, 10000);
    }

    int loginCount() const { return m_ami->frames(QStringLiteral("Login")).size(); }
    int bindCount() const { return m_portal->restRequests(QStringLiteral("event.bind")).size(); }

    QTemporaryDir m_dir;
    std::unique_ptr<Orvix::Tests::FakeAmiServer> m_ami;
    std::unique_ptr<Orvix::Tests::FakeCrmServer> m_portal;

private:
    void writeConfig()
    {
        // The service's own listeners: this host only, on ports nobody uses (never the well-known 8077 of a
        // copy an administrator runs on this machine).
        QTcpServer freePorts[2];
        QVERIFY(freePorts[0].listen(QHostAddress::LocalHost) && freePorts[1].listen(QHostAddress::LocalHost));
        const QJsonObject config{
            {"Asterisk", QJsonObject{{"host", m_ami->host()}, {"port", int(m_ami->port())},
                                     {"user", "crm"}, {"password", "crmsecret"}}},
            {"Database", QJsonObject{{"host", "127.0.0.1"}, {"port", 1}}},
            {"App", QJsonObject{{"generated_postfix", m_generatedPostfix}, {"locale", "ru"}}},
            {"Bitrix", QJsonObject{{"host", m_portal->baseUrl()}, {"user_login", "admin"}, {"user_password", "secret"},
                                   {"user_id", 1}, {"execution_loop_interval_msec", 5}}},
            {"WebServer", QJsonObject{{"user", "operator"}, {"password", "Pa55-word"}, {"listen_host", "127.0.0.1"},
                                      {"listen_port", freePorts[0].serverPort()},
                                      {"listen_port_secure", freePorts[1].serverPort()}}},
        };
        freePorts[0].close();
        freePorts[1].close();
        const QString path = m_dir.filePath("config.json");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(config).toJson());
        file.close();
        Orvix::Utils::Settings::Manager::configName = path;

        const QString generated = m_dir.filePath("generated" + m_generatedPostfix);
        QVERIFY(QDir().mkpath(generated));
        QFile token(generated + "/token.json");
        QVERIFY(token.open(QIODevice::WriteOnly | QIODevice::Truncate));
        token.write(QJsonDocument(QJsonObject{{"access_token", "seeded-access"}, {"refresh_token", "seeded-refresh"}})
                        .toJson());
    }

    QString m_generatedPostfix;
};
