#pragma once

#include "sqlquerypoll/request.h"

#include <QMap>
#include <QString>
#include <QStringList>

namespace Orvix::PBX::Asterisk::ApiSql {

// The SQL texts of the PBX link. Table and column names come from the configured aliases and are quoted
// as identifiers; every value that comes from a caller is bound, never written into the text.

// A name as a quoted identifier: `name`, with any backquote in it doubled.
QString quoteIdentifier(const QString &name);

// The columns the link reads, by their logical names (keys of the column aliases): the CEL poll and the
// recording look-up.
inline const QStringList kCelColumns{QStringLiteral("cel_id"),       QStringLiteral("cel_eventtype"),
                                     QStringLiteral("cel_eventtime"), QStringLiteral("cel_cid_num"),
                                     QStringLiteral("cel_exten"),     QStringLiteral("cel_uniqueid"),
                                     QStringLiteral("cel_linkedid"),  QStringLiteral("cel_channame")};
inline const QStringList kCdrColumns{QStringLiteral("cdr_uniqueid"), QStringLiteral("cdr_calldate"),
                                     QStringLiteral("cdr_src"), QStringLiteral("cdr_cnum"),
                                     QStringLiteral("cdr_recordingfile")};

// Rows the CEL poll reads at most in one batch.
inline constexpr int kCelBatchLimit = 100;

// The CEL poll: the records after :last_id, not older than :history_start_date, in id order, 100 at most.
QString celEventsQuery(const QMap<QString, QString> &tableAliases, const QMap<QString, QString> &columnAliases);

// The lowest and the highest record id of the CEL table (NULLs when it is empty): both read off the
// primary key.
QString celBoundsQuery(const QMap<QString, QString> &tableAliases, const QMap<QString, QString> &columnAliases);

// The first record at or after :id by the primary key: its id, and 1 when it is not older than
// :history_start_date (else 0).
QString celProbeQuery(const QMap<QString, QString> &tableAliases, const QMap<QString, QString> &columnAliases);

// Whose question a recording look-up answers. The service's own (the CRM flow) waits for a database that is
// away. A client of the public route, with the numbers of a link the service wrote and signed, is answered
// at once while the database cannot be reached. Either takes the call's numbers of any length (an extension
// of two digits).
enum class RecordingLookup { Own, Public };

// The first CDR row of the call whose source or caller number is one of the two numbers (with or without a
// leading "+", or behind one of the configured prefixes) or one of the trunks, and that has a recording
// file; of a withheld caller (a number of letters only, such as "anonymous"), the call's first row with a
// recording file. Columns: recording file, call date. The caller chooses how it waits for a database that is
// away.
SqlQueryPoll::Request recordingRequest(const QMap<QString, QString> &tableAliases,
                                       const QMap<QString, QString> &columnAliases, const QString &callId,
                                       const QString &number1, const QString &number2, const QStringList &trunks,
                                       const QStringList &prefixes);

} // namespace Orvix::PBX::Asterisk::ApiSql
