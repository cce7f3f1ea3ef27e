#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /execute_sql: Runs one SQL statement against the PBX database: {"fields", "data"}. A statement sent while
// another still runs is refused at once (503 "Busy: ...").
class ExecuteSqlQuery : public Action
{
    Q_OBJECT

public:
    explicit ExecuteSqlQuery(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &sql, Utils::Promise<QJsonObject, QString> promise);
    // The statement asked for last was answered before it ended (the time-out): it is not to go on on the
    // database, nor to start later.
    void cancelRequest();

protected:
    void handle(const QJsonObject &params, Reply *reply) override;

private:
    bool m_running = false;
    quint64 m_statements = 0;
};

} // namespace Orvix::Actions
