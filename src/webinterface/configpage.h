#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace Orvix::WebInterface {

// /config: GET serves the configuration page (static/config.html with static/config.js and the
// current settings and check status written into it); POST saves {section: {key: value}} through the
// configuration manager and answers 422 {"errors": {key: text}} when keys are refused, else 200 with
// the note of savedNote (the links may be waiting for a restart: restartWaitRequest). Digest only.
// The page never holds a saved password: its fields stay empty until one is typed, and what is left empty
// is neither saved nor sent to a check, so the saved one stays and goes only to its own address. A save is
// JSON, as the page's script sends it: a browser resends cached digest credentials with a form another
// site posts here, but cannot send JSON across sites without asking first. Owned by the web interface App;
// main thread.
class ConfigPage : public Actions::Action
{
    Q_OBJECT

public:
    explicit ConfigPage(QObject *parent = nullptr);

    // static/ beside the executable unless set (tests).
    void setStaticDirectory(const QString &directory) { m_staticDirectory = directory; }
    QString staticDirectory() const;

    // What a save of {section: {key: value}} answers: when its keys take effect. Some are read only at the
    // service's start, the web login at every request, the rest when the links run again: now, or after
    // linksWaitSeconds while they wait for their restart after a lost connection.
    static QString savedNote(const QJsonObject &changes, int linksWaitSeconds);

    // The page with its data, the secrets left out (the page learns only which are saved); empty when a page
    // file cannot be read.
    QByteArray render(const QJsonObject &config, const QJsonObject &status) const;

    void execute(const HttpServer::Request &request, HttpServer::Response response) override;
    bool isPage() const override { return true; }

Q_SIGNALS:
    void configChanged();
    void getConfigRequest(Utils::Promise<QJsonObject> promise);
    void getCheckStatusRequest(Utils::Promise<QJsonObject> promise);
    // The seconds the links still wait for their restart after a lost connection; 0 when none waits.
    void restartWaitRequest(Utils::Promise<int> promise);

protected:
    void handle(const QJsonObject &params, Actions::Reply *reply) override;

private:
    void servePage(Actions::Reply *reply);
    void save(const QJsonObject &params, Actions::Reply *reply);

    QString m_staticDirectory;
};

} // namespace Orvix::WebInterface
