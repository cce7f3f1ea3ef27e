#include "webinterface/configpage.h"

#include "config/manager.h"
#include "config/takeseffect.h"
#include "utils/settingsmanager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QPointer>
#include <QStringList>
#include <QSharedPointer>

#include <optional>

namespace Orvix::WebInterface {

namespace {

constexpr auto kPageFile = "config.html";
constexpr auto kScriptFile = "config.js";
const QByteArray kDataMarker = QByteArrayLiteral("/*PAGE_DATA*/");
const QByteArray kScriptMarker = QByteArrayLiteral("/*PAGE_SCRIPT*/");

bool readFile(const QString &path, QByteArray *content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote()
            << QStringLiteral("Cannot read the web interface file %1: %2").arg(path, file.errorString());
        return false;
    }
    *content = file.readAll();
    return true;
}

// Never written into the page: a script of the page (or one that gets into it) could send them anywhere, and
// "Run checks" once sent them to whatever address was typed. The page shows which are saved.
const QStringList kSecrets{QStringLiteral("Asterisk.password"), QStringLiteral("Bitrix.user_password"),
                           QStringLiteral("Database.password"), QStringLiteral("WebServer.password")};

// The configuration with every secret emptied, and the names of those that are set.
QJsonObject withoutSecrets(QJsonObject config, QJsonArray *saved)
{
    for (const QString &name : kSecrets) {
        const QString section = name.section(QLatin1Char('.'), 0, 0);
        const QString key = name.section(QLatin1Char('.'), 1);
        QJsonObject values = config.value(section).toObject();
        if (!values.contains(key))
            continue;
        if (!values.value(key).toString().isEmpty())
            saved->append(name);
        values.insert(key, QString());
        config.insert(section, values);
    }
    return config;
}

// What the page waits for before it can be drawn.
struct PageData
{
    std::optional<QJsonObject> config;
    std::optional<QJsonObject> status;
};

} // namespace

ConfigPage::ConfigPage(QObject *parent)
    : Actions::Action(QStringLiteral("/config"), true, parent)
{
}

QString ConfigPage::staticDirectory() const
{
    return m_staticDirectory.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/static")
                                       : m_staticDirectory;
}

QString ConfigPage::savedNote(const QJsonObject &changes, int linksWaitSeconds)
{
    QStringList atStart;
    int count = 0;
    bool byLinks = false;
    for (auto section = changes.begin(); section != changes.end(); ++section) {
        const QJsonObject keys = section.value().toObject();
        for (auto it = keys.begin(); it != keys.end(); ++it) {
            const QString name = section.key() + QLatin1Char('.') + it.key();
            ++count;
            const Config::TakesEffect when = Config::takesEffect(name);
            if (when == Config::TakesEffect::AtServiceStart)
                atStart.append(name);
            else if (when == Config::TakesEffect::WithTheLinks)
                byLinks = true;
        }
    }
    const bool waiting = byLinks && linksWaitSeconds > 0;
    if (atStart.isEmpty() && !byLinks)
        return QStringLiteral("Saved: applied now");
    if (atStart.isEmpty()) {
        return waiting ? QStringLiteral("Saved; the PBX and CRM links wait for their restart after a lost "
                                        "connection: the change applies at it, in %1 s")
                             .arg(linksWaitSeconds)
                       : QStringLiteral("Saved: applied now (the PBX and CRM links restart)");
    }
    QString note = QStringLiteral("Saved: %1 %2 effect when the service is restarted")
                       .arg(atStart.join(QStringLiteral(", ")),
                            atStart.size() > 1 ? QStringLiteral("take") : QStringLiteral("takes"));
    if (count > atStart.size()) {
        note += waiting ? QStringLiteral("; the other changes apply at the restart the links wait for, in %1 s")
                              .arg(linksWaitSeconds)
                        : QStringLiteral("; the other changes apply now");
    }
    return note;
}

QByteArray ConfigPage::render(const QJsonObject &config, const QJsonObject &status) const
{
    QByteArray page;
    QByteArray script;
    if (!readFile(staticDirectory() + QLatin1Char('/') + QLatin1String(kPageFile), &page)
        || !readFile(staticDirectory() + QLatin1Char('/') + QLatin1String(kScriptFile), &script))
        return QByteArray();
    QJsonArray savedSecrets;
    const QJsonObject shown = withoutSecrets(config, &savedSecrets);
    QByteArray data = QJsonDocument(QJsonObject{{QStringLiteral("config"), shown},
                                                {QStringLiteral("status"), status},
                                                {QStringLiteral("saved_secrets"), savedSecrets}})
                          .toJson(QJsonDocument::Compact);
    // A value holding "</script>" must not end the data block early; JSON reads \u003c as '<'.
    data.replace('<', "\\u003c");
    // The script is our own file; a "</script" in it would be a packaging fault, not user data.
    page.replace(kScriptMarker, script);
    page.replace(kDataMarker, data);
    return page;
}

void ConfigPage::execute(const HttpServer::Request &request, HttpServer::Response response)
{
    if (request.method() == QLatin1String("POST") && !request.isJson()) {
        response.sendError(415, QStringLiteral("The configuration is saved as JSON"));
        return;
    }
    Actions::Action::execute(request, std::move(response));
}

void ConfigPage::handle(const QJsonObject &params, Actions::Reply *reply)
{
    if (reply->method() == QLatin1String("GET") || reply->method() == QLatin1String("HEAD"))
        servePage(reply);
    else if (reply->method() == QLatin1String("POST"))
        save(params, reply);
    else
        reply->sendError(405, QStringLiteral("Method not allowed"));
}

void ConfigPage::servePage(Actions::Reply *reply)
{
    const QPointer<Actions::Reply> guard(reply);
    const QPointer<ConfigPage> self(this);
    const auto data = QSharedPointer<PageData>::create();
    const auto drawWhenReady = [guard, self, data]() {
        if (!guard || !self || !data->config || !data->status)
            return;
        const QByteArray page = self->render(*data->config, *data->status);
        if (page.isEmpty())
            guard->sendError(500, QStringLiteral("Web interface files are missing"));
        else
            guard->send(200, page, QByteArrayLiteral("text/html; charset=utf-8"));
    };

    const Utils::Promise<QJsonObject> config;
    config.onResolve([data, drawWhenReady](const QJsonObject &value) {
        data->config = value;
        drawWhenReady();
    });
    config.onReject([guard]() {
        if (guard)
            guard->sendError(502, QStringLiteral("Configuration unavailable"));
    });
    const Utils::Promise<QJsonObject> status;
    status.onResolve([data, drawWhenReady](const QJsonObject &value) {
        data->status = value;
        drawWhenReady();
    });
    // The page is still of use without the checks' status.
    status.onReject([data, drawWhenReady]() {
        data->status = QJsonObject();
        drawWhenReady();
    });
    Q_EMIT getConfigRequest(config);
    Q_EMIT getCheckStatusRequest(status);
}

void ConfigPage::save(const QJsonObject &params, Actions::Reply *reply)
{
    if (!takeSections(params, reply))
        return;
    const QMap<QString, QString> errors = Config::Manager::update(params);
    if (errors.contains(Utils::Settings::Manager::kFileChangedKey)) {
        reply->sendError(409, errors.value(Utils::Settings::Manager::kFileChangedKey));
        return;
    }
    if (!errors.isEmpty()) {
        QJsonObject refused;
        for (auto it = errors.constBegin(); it != errors.constEnd(); ++it)
            refused.insert(it.key(), it.value());
        reply->sendJson(422, QJsonObject{{QStringLiteral("errors"), refused}});
        return;
    }
    qInfo() << "Configuration saved from the web interface";
    lookUpPbxHost();
    Q_EMIT configChanged();
    const QPointer<Actions::Reply> guard(reply);
    const Utils::Promise<int> wait;
    // An on-site portal may serve plain HTTP: taken, but not in silence.
    const QString portal = Config::Manager::getString(Config::Manager::Bitrix, QStringLiteral("host"));
    const QString plain = portal.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
        ? QStringLiteral("; the CRM login and password travel unencrypted to %1").arg(portal)
        : QString();
    wait.onResolve([guard, params, plain](int seconds) {
        if (guard)
            guard->sendJson(200, QJsonObject{{QStringLiteral("result"), true},
                                             {QStringLiteral("note"), savedNote(params, seconds) + plain}});
    });
    if (isSignalConnected(QMetaMethod::fromSignal(&ConfigPage::restartWaitRequest)))
        Q_EMIT restartWaitRequest(wait);
    else
        wait.resolve(0);
}

} // namespace Orvix::WebInterface
