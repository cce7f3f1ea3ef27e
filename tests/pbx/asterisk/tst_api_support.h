#pragma once

// Shared by the PBX link tests: a real MariaDB database with the PBX's CEL and CDR tables filled from
// the recorded Asterisk rows, the fake AMI server, the configuration, a recorder of the link's call
// events and log lines, and the fixture that sets them up for each test.

#include "config/manager.h"
#include "entities/call.h"
#include "entities/conversation.h"
#include "pbx/asterisk/api.h"
#include "support/fakeamiserver.h"
#include "support/mariadbfixture.h"
#include "support/mariadbsettings.h"
#include "utils/settingsmanager.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace ApiTest {

inline QString fixturePath(const QString &name)
{
    return QFINDTESTDATA(QStringLiteral("../../fixtures/asterisk20/") + name);
}

inline QList<QJsonObject> readRows(const QString &name)
{
    QList<QJsonObject> rows;
    QFile file(fixturePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.trimmed().isEmpty())
            rows.append(QJsonDocument::fromJson(line).object());
    }
    return rows;
}

// Moves the recorded event times so that the first row happened `secondsAgo` seconds ago: a call
// that ended half an hour before the poll reads it is dropped by the stale cleanup at once.
inline QList<QJsonObject> recent(QList<QJsonObject> rows, int secondsAgo = 30)
{
    if (rows.isEmpty())
        return rows;
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    const QDateTime first = QDateTime::fromString(rows.first().value(QStringLiteral("eventtime")).toString(), format);
    const qint64 shift = first.secsTo(QDateTime::currentDateTime()) - secondsAgo;
    for (QJsonObject &row : rows) {
        const QDateTime at = QDateTime::fromString(row.value(QStringLiteral("eventtime")).toString(), format);
        row.insert(QStringLiteral("eventtime"), at.addSecs(shift).toString(format));
    }
    return rows;
}

inline QList<QJsonObject> upToId(const QList<QJsonObject> &rows, int lastId)
{
    QList<QJsonObject> result;
    for (const QJsonObject &row : rows) {
        if (row.value(QStringLiteral("id")).toInt() <= lastId)
            result.append(row);
    }
    return result;
}

// A connection of the test's own thread to the test database.
class Database
{
public:
    explicit Database(const Orvix::Tests::MariaDbSettings &settings)
        : m_name(QStringLiteral("tst_api_%1").arg(++counter()))
    {
        QSqlDatabase db = settings.addConnection(m_name);
        if (!db.open())
            m_error = db.lastError().text();
    }
    ~Database()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    QString error() const { return m_error; }

    bool exec(const QString &statement)
    {
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        if (query.exec(statement))
            return true;
        m_error = statement + QStringLiteral(": ") + query.lastError().text();
        return false;
    }

    // The CEL and CDR tables exactly as the PBX created them.
    bool createSchema()
    {
        QFile file(fixturePath(QStringLiteral("schema-cel-cdr.sql")));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            m_error = QStringLiteral("schema file not found");
            return false;
        }
        QStringList lines;
        const QStringList all = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        for (const QString &line : all) {
            if (!line.startsWith(QLatin1String("--")))
                lines.append(line);
        }
        const QStringList statements = lines.join(QLatin1Char('\n')).split(QLatin1Char(';'));
        for (const QString &statement : statements) {
            if (!statement.trimmed().isEmpty() && !exec(statement))
                return false;
        }
        return true;
    }

    bool insert(const QString &table, const QList<QJsonObject> &rows)
    {
        for (const QJsonObject &row : rows) {
            const QStringList columns = row.keys();
            QStringList marks;
            for (int i = 0; i < columns.size(); ++i)
                marks.append(QStringLiteral("?"));
            QSqlQuery query(QSqlDatabase::database(m_name, false));
            query.prepare(QStringLiteral("insert into `%1` (`%2`) values (%3)")
                              .arg(table, columns.join(QStringLiteral("`, `")), marks.join(QStringLiteral(", "))));
            for (const QString &column : columns)
                query.addBindValue(row.value(column).toVariant());
            if (!query.exec()) {
                m_error = query.lastError().text();
                return false;
            }
        }
        return true;
    }

    // Rows the call tracker has no use for, numbered from `firstId`.
    bool insertIgnored(int firstId, int count)
    {
        QJsonObject row = readRows(QStringLiteral("cel-a-inbound-answered.jsonl")).value(1);
        row.insert(QStringLiteral("eventtype"), QStringLiteral("USER_DEFINED"));
        row.insert(QStringLiteral("uniqueid"), QStringLiteral("1700000000.99"));
        row.insert(QStringLiteral("linkedid"), QStringLiteral("1700000000.99"));
        row.insert(QStringLiteral("eventtime"),
                   QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        QList<QJsonObject> rows;
        for (int i = 0; i < count; ++i) {
            row.insert(QStringLiteral("id"), firstId + i);
            rows.append(row);
        }
        return insert(QStringLiteral("cel"), rows);
    }

private:
    static int &counter()
    {
        static int value = 0;
        return value;
    }

    QString m_name;
    QString m_error;
};

// Log lines of the whole process, with their category; installed for the life of the object.
class MessageLog
{
public:
    struct Line
    {
        QString category;
        QtMsgType type;
        QString text;
    };

    MessageLog()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("pbx.poll.debug=true\npbx.recordings.debug=true"));
        lines().clear();
        m_previous = qInstallMessageHandler(&MessageLog::handler);
        previous() = m_previous;
    }
    ~MessageLog()
    {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::setFilterRules(QString());
    }

    static QList<Line> all()
    {
        QMutexLocker locker(&mutex());
        return lines();
    }
    static QStringList texts(const QString &category, const QString &prefix = QString())
    {
        QStringList result;
        const QList<Line> copy = all();
        for (const Line &line : copy) {
            if (line.category == category && line.text.startsWith(prefix))
                result.append(line.text);
        }
        return result;
    }
    static int count(const QString &contains)
    {
        int n = 0;
        const QList<Line> copy = all();
        for (const Line &line : copy)
            n += line.text.contains(contains) ? 1 : 0;
        return n;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        {
            QMutexLocker locker(&mutex());
            lines().append(Line{QString::fromLatin1(context.category), type, text});
        }
        if (previous() && (type != QtDebugMsg || qEnvironmentVariableIsSet("TST_API_VERBOSE")))
            previous()(type, context, text);
    }
    static QList<Line> &lines()
    {
        static QList<Line> value;
        return value;
    }
    static QMutex &mutex()
    {
        static QMutex value;
        return value;
    }
    static QtMessageHandler &previous()
    {
        static QtMessageHandler value = nullptr;
        return value;
    }

    QtMessageHandler m_previous = nullptr;
};

// The call events of one link, as "signal:id" texts in the order emitted.
class EventRecorder : public QObject
{
public:
    explicit EventRecorder(Orvix::PBX::Asterisk::API &api)
    {
        using Orvix::PBX::Asterisk::API;
        connect(&api, &API::callStarted, this,
                [this](const Orvix::Entities::Call &call) { m_events.append(QStringLiteral("callStarted:") + call.id()); });
        connect(&api, &API::conversationRequested, this, [this](const Orvix::Entities::Conversation &c) {
            m_events.append(QStringLiteral("conversationRequested:") + c.id());
        });
        connect(&api, &API::conversationAccepted, this, [this](const Orvix::Entities::Conversation &c) {
            m_events.append(QStringLiteral("conversationAccepted:") + c.id());
        });
        connect(&api, &API::conversationEnded, this, [this](const Orvix::Entities::Conversation &c) {
            m_events.append(QStringLiteral("conversationEnded:") + c.id());
        });
        connect(&api, &API::callEnded, this,
                [this](const Orvix::Entities::Call &call) { m_events.append(QStringLiteral("callEnded:") + call.id()); });
        connect(&api, &API::callTransferred, this,
                [this](const QString &id) { m_events.append(QStringLiteral("callTransferred:") + id); });
    }

    QStringList events() const { return m_events; }
    void clear() { m_events.clear(); }

private:
    QStringList m_events;
};

// The five events of the recorded inbound call (79161234567 to the DID, answered by 101).
inline QStringList inboundCallEvents()
{
    return {QStringLiteral("callStarted:1796630253.0"), QStringLiteral("conversationRequested:1796630253.1"),
            QStringLiteral("conversationAccepted:1796630253.1"), QStringLiteral("conversationEnded:1796630253.1"),
            QStringLiteral("callEnded:1796630253.0")};
}

// The same for the recorded outbound call (101 to 79161234567).
inline QStringList outboundCallEvents()
{
    return {QStringLiteral("callStarted:1796630283.4"), QStringLiteral("conversationRequested:1796630283.5"),
            QStringLiteral("conversationAccepted:1796630283.5"), QStringLiteral("conversationEnded:1796630283.5"),
            QStringLiteral("callEnded:1796630283.4")};
}

// The configuration file of the test process, in a temporary folder. The sections are process-wide:
// created once, then changed with update().
inline bool initConfig(QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("config.json"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("{}");
    file.close();
    Orvix::Utils::Settings::Manager::configName = path;
    Orvix::Config::Manager::init();
    return true;
}

// Points the link at the fake AMI server and the test database.
inline QMap<QString, QString> configure(const Orvix::Tests::FakeAmiServer &ami,
                                        const Orvix::Tests::MariaDbSettings &db, const QJsonObject &app = {},
                                        const QJsonObject &asterisk = {})
{
    QJsonObject appSection{
        {QStringLiteral("history_start_date"), QStringLiteral("2000-01-01 00:00:00")},
        {QStringLiteral("trunk_to_source"), QJsonObject{{QStringLiteral("74950000000"), QStringLiteral("CALL")}}},
        {QStringLiteral("generated_postfix"), QString()},
    };
    for (auto it = app.begin(); it != app.end(); ++it)
        appSection.insert(it.key(), it.value());
    QJsonObject asteriskSection{
        {QStringLiteral("host"), ami.host()},
        {QStringLiteral("port"), ami.port()},
        {QStringLiteral("user"), QStringLiteral("crm")},
        {QStringLiteral("password"), QStringLiteral("crmsecret")},
        {QStringLiteral("recordings_dir"), QStringLiteral("/rec")},
        {QStringLiteral("recordings_dir_subdirs_by_date"), false},
    };
    for (auto it = asterisk.begin(); it != asterisk.end(); ++it)
        asteriskSection.insert(it.key(), it.value());
    const QJsonObject databaseSection{
        {QStringLiteral("host"), db.host},
        {QStringLiteral("port"), db.port},
        {QStringLiteral("user"), db.user},
        {QStringLiteral("password"), db.password},
        {QStringLiteral("database"), db.database},
    };
    return Orvix::Config::Manager::update(QJsonObject{
        {QStringLiteral("App"), appSection},
        {QStringLiteral("Asterisk"), asteriskSection},
        {QStringLiteral("Database"), databaseSection},
    });
}

inline QJsonObject readJsonFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// A fresh database with the PBX's tables, a fake AMI server and a generated folder for each test, and the
// configuration that points the link at them. A plain base: the test classes are the QObjects.
class Fixture
{
protected:
    // For initTestCase: the configuration file of the process and the shared server.
    bool initFixture()
    {
        if (!m_configDir.isValid() || !initConfig(m_configDir))
            return false;
        for (const QString &key : {QStringLiteral("table_name_aliases"), QStringLiteral("column_name_aliases")})
            m_defaultAliases.insert(key, Orvix::Config::Manager::value(Orvix::Config::Manager::Database, key));
        const Orvix::Tests::MariaDbSettings shared = Orvix::Tests::MariaDbFixture::settings();
        if (!shared.isValid())
            qWarning().noquote() << shared.error;
        return shared.isValid();
    }

    QTemporaryDir m_configDir;
    std::unique_ptr<QTemporaryDir> m_generated;
    std::unique_ptr<Orvix::Tests::FakeAmiServer> m_ami;
    Orvix::Tests::MariaDbSettings m_db;
    QJsonObject m_defaultAliases;

    // A fresh database with empty CEL and CDR tables, a fresh AMI server and generated folder.
    bool prepare(const QString &database, const QJsonObject &app = {}, const QJsonObject &asterisk = {})
    {
        m_db = Orvix::Tests::MariaDbFixture::createDatabase(database);
        if (!m_db.isValid()) {
            qWarning() << "no database:" << m_db.error;
            return false;
        }
        Database db(m_db);
        if (!db.createSchema()) {
            qWarning() << db.error();
            return false;
        }
        m_ami = std::make_unique<Orvix::Tests::FakeAmiServer>();
        m_generated = std::make_unique<QTemporaryDir>();
        if (!m_ami->listen() || !m_generated->isValid())
            return false;
        Orvix::Config::Manager::update(QJsonObject{{QStringLiteral("Database"), m_defaultAliases}});
        const auto errors = configure(*m_ami, m_db, app, asterisk);
        if (!errors.isEmpty()) {
            qWarning() << errors;
            return false;
        }
        return true;
    }

    std::unique_ptr<Orvix::PBX::Asterisk::API> makeApi()
    {
        auto api = std::make_unique<Orvix::PBX::Asterisk::API>(nullptr, Orvix::Config::Manager());
        api->setGeneratedDirectory(m_generated->filePath(QStringLiteral("generated")));
        return api;
    }

    static bool startAndWait(Orvix::PBX::Asterisk::API &api)
    {
        QSignalSpy started(&api, &Orvix::PBX::Asterisk::API::started);
        api.start();
        return started.count() == 1 || started.wait(10000);
    }

    bool insertCelRows(const QList<QJsonObject> &rows)
    {
        Database db(m_db);
        if (db.insert(QStringLiteral("cel"), rows))
            return true;
        qWarning() << db.error();
        return false;
    }

    bool insertCel(const QString &file, int lastId = 1 << 30)
    {
        return insertCelRows(recent(upToId(readRows(file), lastId)));
    }

    // The rest of a recorded call after its first rows, as the PBX writes them while the call goes on.
    bool insertCelAfter(const QString &file, int skippedRows)
    {
        return insertCelRows(recent(readRows(file)).mid(skippedRows));
    }
};

} // namespace ApiTest
