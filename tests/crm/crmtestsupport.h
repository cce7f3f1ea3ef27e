#pragma once

#include "utils/promise.h"

#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QSharedPointer>
#include <QStringList>

#include <type_traits>

// Outcome of one promise, watched from a test.
template <typename T>
struct Outcome
{
    bool settled = false;
    bool resolved = false;
    T value{};
    QJsonObject error;
};

template <>
struct Outcome<void>
{
    bool settled = false;
    bool resolved = false;
    QJsonObject error;
};

template <typename T, typename E>
QSharedPointer<Outcome<T>> watch(Orvix::Utils::Promise<T, E> promise)
{
    auto outcome = QSharedPointer<Outcome<T>>::create();
    if constexpr (std::is_void_v<T>) {
        promise.onResolve([outcome]() {
            outcome->settled = true;
            outcome->resolved = true;
        });
    } else {
        promise.onResolve([outcome](const T &value) {
            outcome->settled = true;
            outcome->resolved = true;
            outcome->value = value;
        });
    }
    if constexpr (std::is_void_v<E>) {
        promise.onReject([outcome]() { outcome->settled = true; });
    } else {
        promise.onReject([outcome](const E &error) {
            outcome->settled = true;
            outcome->error = error;
        });
    }
    return outcome;
}

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
    }
    static QStringList matching(const QString &part)
    {
        return messages().filter(part);
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        {
            QMutexLocker lock(&s_mutex);
            s_messages.append(message);
        }
        if (s_previous)
            s_previous(type, context, message);
    }

    static inline QtMessageHandler s_previous = nullptr;
    static inline QMutex s_mutex;
    static inline QStringList s_messages;
};
