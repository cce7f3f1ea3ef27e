#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /auth: Checks a user and password against the web server login.
class Auth : public Action
{
    Q_OBJECT

public:
    explicit Auth(QObject *parent = nullptr);

    bool checksPassword() const override { return true; }

Q_SIGNALS:
    void request(const QString &user, const QString &password, Utils::Promise<void> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
