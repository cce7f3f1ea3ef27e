#pragma once

#include "entities/entities.h"

#include <QDateTime>
#include <QJsonValue>

// Rules shared by Call and Conversation; not part of the library's interface.

namespace Orvix::Entities::Detail {

// Direction from the two stored numbers and their flags; the flags are decided by whoever sets a number.
CallType deriveCallType(const QString &from, const QString &to, bool fromLocal, bool toLocal);

// Number rule: which number of the pair is ours and which is the other party's.
QString internalNumberOf(CallType type, const QString &from, const QString &to);
QString externalNumberOf(CallType type, const QString &from, const QString &to);

// A missing time is JSON null; anything else is parsed with DATE_TIME_FORMAT (a mismatch gives an invalid time).
QJsonValue timeToJson(const QDateTime &time);
QDateTime timeFromJson(const QJsonValue &value);
// A text field of the saved form: a null QString would become JSON null, so a never-set one is written as "".
QString jsonText(const QString &value);
// Text of a time in dumps and summaries: empty when missing.
QString timeToText(const QDateTime &time);

// Moves `state` to `status` and stamps the time that status stands for (ringing: start, talking: answer,
// hung: end); false, with nothing touched, when the state already is `status`. A status going down is
// logged but still applied: the tracker may replay events out of order.
bool moveToStatus(qint32 &state, int status, const QDateTime &at, QDateTime &startedAt, QDateTime &answeredAt,
                  QDateTime &endedAt);

} // namespace Orvix::Entities::Detail
