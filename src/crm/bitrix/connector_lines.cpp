// External lines of the portal and the bindings of its events.

#include "crm/bitrix/connector.h"

#include <QDebug>
#include <QJsonArray>
#include <QPointer>

namespace Orvix::CRM::Bitrix {

namespace {

using Utils::MsgBuilder;

// The portal runs at most 50 commands of one "batch" request.
constexpr int kBatchSize = 50;

QString readText(const QJsonValue &value)
{
    // The portal sends text, but a number must not turn into an empty line number.
    return value.isDouble() ? QString::number(value.toDouble(), 'f', 0) : value.toString();
}

} // namespace

Utils::Promise<void> Connector::sendBatches(const QList<QPair<QString, QString>> &commands,
                                            HttpClient::Request::Method httpMethod)
{
    const auto failed = QSharedPointer<bool>::create(false);
    QList<Utils::Promise<void>> batches;
    for (int first = 0; first < commands.size(); first += kBatchSize) {
        QJsonObject params;
        QStringList names;
        for (int i = first; i < qMin(first + kBatchSize, commands.size()); ++i) {
            params.insert(QStringLiteral("cmd[%1]").arg(commands.at(i).first), commands.at(i).second);
            names.append(commands.at(i).first);
        }
        Utils::Promise<void> done;
        run(QStringLiteral("batch"), params, httpMethod, MsgBuilder())
            .onResolve([failed, names, done](const QJsonValue &results) {
                // A refused command is missing from the results and listed among the errors instead.
                const QJsonObject answered = results.toObject();
                for (const QString &name : names) {
                    if (!answered.contains(name))
                        *failed = true;
                }
                done.resolve();
            })
            .onReject([failed, done]() {
                *failed = true;
                done.resolve();
            });
        batches.append(done);
    }

    Utils::Promise<void> result;
    Utils::Promise<void>::all(batches).onResolve([failed, result]() {
        if (*failed)
            result.reject();
        else
            result.resolve();
    });
    return result;
}

Utils::Promise<QHash<QString, QString>> Connector::getExternalLines()
{
    return runAndConvert<QHash<QString, QString>>(
        QStringLiteral("telephony.externalLine.get"), QJsonObject(), HttpClient::Request::Get, MsgBuilder(),
        [](const QJsonValue &value) {
            QHash<QString, QString> lines;
            const QJsonArray array = value.toArray();
            for (const QJsonValue &element : array) {
                const QJsonObject line = element.toObject();
                lines.insert(readText(line.value(QLatin1String("NUMBER"))),
                             readText(line.value(QLatin1String("NAME"))));
            }
            return lines;
        });
}

Utils::Promise<void> Connector::addExternalLines(const QStringList &numbers)
{
    if (numbers.isEmpty()) {
        Utils::Promise<void> result;
        result.resolve();
        return result;
    }

    QList<QPair<QString, QString>> commands;
    for (int i = 0; i < numbers.size(); ++i) {
        commands.append({QStringLiteral("add_ext_line_%1").arg(i),
                         makeBatchCommand(QStringLiteral("telephony.externalLine.add"),
                                          QJsonObject{{QStringLiteral("NUMBER"), numbers.at(i)}})});
    }
    Utils::Promise<void> result;
    const int count = numbers.size();
    sendBatches(commands, HttpClient::Request::Post)
        .onResolve([result, count]() {
            qDebug().noquote() << "\tLines added:" << count;
            result.resolve();
        })
        .onReject([result]() {
            qWarning().noquote() << "Not every external line was added to the CRM";
            result.reject();
        });
    return result;
}

Utils::Promise<void> Connector::updateExternalLine(const QString &number, const QString &name)
{
    return runAndConvert<void>(QStringLiteral("telephony.externalLine.update"),
                               QJsonObject{{QStringLiteral("NUMBER"), number}, {QStringLiteral("NAME"), name}},
                               HttpClient::Request::Get, MsgBuilder());
}

Utils::Promise<int> Connector::deleteExternalLines()
{
    Utils::Promise<int> result;
    const QPointer<Connector> self(this);
    getExternalLines()
        .onResolve([self, result](const QHash<QString, QString> &lines) {
            if (lines.isEmpty())
                return result.resolve(0);
            if (!self)
                return result.reject();
            QList<QPair<QString, QString>> commands;
            int i = 0;
            for (auto it = lines.cbegin(); it != lines.cend(); ++it, ++i) {
                commands.append({QStringLiteral("delete_ext_line_%1").arg(i),
                                 makeBatchCommand(QStringLiteral("telephony.externalLine.delete"),
                                                  QJsonObject{{QStringLiteral("NUMBER"), it.key()}})});
            }
            const int count = lines.size();
            self->sendBatches(commands, HttpClient::Request::Get)
                .onResolve([result, count]() {
                    qDebug().noquote() << "Removed lines count:" << count;
                    result.resolve(count);
                })
                .onReject([result]() {
                    qWarning().noquote() << "Not every external line was deleted from the CRM";
                    result.reject();
                });
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Utils::Promise<void> Connector::subscribeToEvent(const QString &event, const QString &handler)
{
    // In the body: the handler's key must not stand in the access logs of the portal and of the proxies
    // on the way.
    const QJsonObject params{{QStringLiteral("event"), event}, {QStringLiteral("handler"), handler}};
    return runAndConvert<void>(QStringLiteral("event.bind"), params, HttpClient::Request::Post,
                               MsgBuilder(QString(), MsgBuilder::SubscribeToEvent, MsgBuilder::NoChildTask));
}

Utils::Promise<QStringList> Connector::getEventHandlers(const QString &event)
{
    Utils::Promise<QStringList> result;
    run(QStringLiteral("event.get"), QJsonObject(), HttpClient::Request::Get, MsgBuilder())
        .onResolve([result, event](const QJsonValue &value) {
            QStringList handlers;
            const QJsonArray array = value.toArray();
            for (const QJsonValue &element : array) {
                const QJsonObject binding = element.toObject();
                // The portal may list the name in upper case; callers give it in lower case.
                if (binding.value(QLatin1String("event")).toString().toLower() == event)
                    handlers.append(binding.value(QLatin1String("handler")).toString());
            }
            result.resolve(handlers);
        })
        .onReject([result]() { result.resolve(QStringList()); });
    return result;
}

Utils::Promise<int> Connector::unbindEventHandlers(const QString &event)
{
    Utils::Promise<int> result;
    const QPointer<Connector> self(this);
    getEventHandlers(event).onResolve([self, result, event](const QStringList &handlers) {
        if (self)
            self->unbindEventHandlers(event, handlers).proxyTo(result);
        else
            result.resolve(0);
    });
    return result;
}

Utils::Promise<int> Connector::unbindEventHandlers(const QString &event, const QStringList &handlers)
{
    // Sent also without handlers, as one empty batch: unbinding is tolerant and reports what the
    // portal confirmed, batch by batch. POST, as the handlers carry our key (see subscribeToEvent).
    const auto unbound = QSharedPointer<int>::create(0);
    QList<Utils::Promise<void>> batches;
    int first = 0;
    do {
        QJsonObject commands;
        for (int i = first; i < qMin(first + kBatchSize, handlers.size()); ++i) {
            commands.insert(QStringLiteral("cmd[unbind_handler_%1]").arg(i),
                            makeBatchCommand(QStringLiteral("event.unbind"),
                                             QJsonObject{{QStringLiteral("event"), event},
                                                         {QStringLiteral("handler"), handlers.at(i)}}));
        }
        Utils::Promise<void> done;
        run(QStringLiteral("batch"), commands, HttpClient::Request::Post, MsgBuilder())
            .onResolve([unbound, done](const QJsonValue &value) {
                const int count = value.toObject().size();
                qDebug().noquote() << "Unbind handlers count:" << count;
                *unbound += count;
                done.resolve();
            })
            .onReject([done]() { done.resolve(); });
        batches.append(done);
        first += kBatchSize;
    } while (first < handlers.size());
    Utils::Promise<int> result;
    Utils::Promise<void>::all(batches).onResolve([unbound, result]() { result.resolve(*unbound); });
    return result;
}

} // namespace Orvix::CRM::Bitrix
