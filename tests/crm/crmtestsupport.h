#pragma once

#include "crm/bitrix/constants.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"
#include "utils/logger.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QScopedPointer>
#include <QSharedPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantList>

// Collects every log message while alive.
class LogCapture
{
public:
    LogCapture()
    {
        clear();
        s_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(s_previous); }

    static QStringList messages()
    {
        QMutexLocker lock(&s_mutex);
        return s_messages;
    }
    static void clear()
    {
        QMutexLocker lock(&s_mutex);
        s_messages.clear();
        s_warnings.clear();
        s_criticals.clear();
    }
    // The lines logged as warnings or worse.
    static QStringList warnings()
    {
        QMutexLocker lock(&s_mutex);
        return s_warnings;
    }
    // The lines logged as critical or worse.
    static QStringList criticals()
    {
        QMutexLocker lock(&s_mutex);
        return s_criticals;
    }
    static QStringList matching(const QString &part)
    {
        return messages().filter(part);
    }

private:
    // Each line as the service's log holds it: the logger masks the key of our event routes.
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        const QString line = Orvix::Utils::Logger::maskSecrets(message);
        {
            QMutexLocker lock(&s_mutex);
            s_messages.append(line);
            if (type != QtDebugMsg && type != QtInfoMsg)
                s_warnings.append(line);
            if (type == QtCriticalMsg || type == QtFatalMsg)
                s_criticals.append(line);
        }
        if (s_previous)
            s_previous(type, context, line);
    }

    static inline QtMessageHandler s_previous = nullptr;
    static inline QMutex s_mutex;
    static inline QStringList s_messages;
    static inline QStringList s_warnings;
    static inline QStringList s_criticals;
};

inline QJsonObject parse(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

// The texts of a scalar, an array or the values of an object, as a portal request carries them.
inline QStringList texts(const QJsonValue &value)
{
    QStringList list;
    if (value.isArray() || value.isObject()) {
        const QVariantList items = value.isArray() ? value.toArray().toVariantList()
                                                   : value.toObject().toVariantMap().values();
        for (const QVariant &item : items)
            list.append(item.toString());
    } else if (!value.isUndefined()) {
        list.append(value.toVariant().toString());
    }
    return list;
}

// What each connector test case starts from: a fake portal the token address points at, a directory for the
// token and locale files, and the HTTP client the connector sends through. Call setUpPortal() from init() and
// tearDownPortal() from cleanup().
class ConnectorTestCase : public QObject
{
protected:
    // False when the fake portal does not listen or the directory could not be made.
    bool setUpPortal()
    {
        m_fake.reset(new Orvix::Tests::FakeCrmServer);
        if (!m_fake->isListening())
            return false;
        qputenv(Orvix::CRM::Bitrix::kTokenUrlVariable, m_fake->tokenUrl().toString().toUtf8());
        m_dir.reset(new QTemporaryDir);
        if (!m_dir->isValid())
            return false;
        m_client.reset(new Orvix::HttpClient::HttpClient);
        return true;
    }

    void tearDownPortal()
    {
        m_client.reset();
        m_fake.reset();
    }

    QScopedPointer<Orvix::Tests::FakeCrmServer> m_fake;
    QScopedPointer<QTemporaryDir> m_dir;
    QSharedPointer<Orvix::HttpClient::HttpClient> m_client;
};
