#pragma once

#include "actions/action.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /get_log: the last entries of the service's own log file, filtered by "call_id", the lowest
// "level" and a "text" they contain; "count" of them (100 by default). Reads the file itself.
class GetLog : public Action
{
    Q_OBJECT

public:
    static inline constexpr int kDefaultCount = 100;
    static inline constexpr int kMaxCount = 10000;

    explicit GetLog(QObject *parent = nullptr);

    // The logger's file unless set (tests).
    void setLogFileName(const QString &fileName) { m_logFileName = fileName; }

protected:
    void handle(const QJsonObject &params, Reply *reply) override;

private:
    QString m_logFileName;
};

} // namespace Orvix::Actions
