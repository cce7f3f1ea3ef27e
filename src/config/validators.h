#pragma once

#include <QHash>
#include <QList>
#include <QString>

namespace Orvix::Config::Validators {

// Asterisk keeps a manager user's name, as the name of its section in manager.conf, in 80 bytes with
// the terminating zero: a longer one is cut or its line skipped, and the lines written after it then
// belong to the user before.
inline constexpr int kMaxPbxNameBytes = 79;
// The manager login sends the secret on one line, which Asterisk reads up to 1024 bytes with its
// "Secret: " and the line end.
inline constexpr int kMaxPbxSecretBytes = 1000;

// Refusals of values that would only fail later, at a listener, a timer, the logger, the CRM or the
// next start. Each sets an error text, a sentence for the administrator, when the value cannot be used;
// some rewrite the value: an accepted one to its one form, a refused one to what it was evidently meant
// as (which the start takes, Setting::AtStart). Main thread.

// A TCP port: 1-65535.
void port(int &value, QString &error);
// A number of milliseconds or minutes, or a CRM user id where 0 is none: 0 or more.
void nonNegative(int &value, QString &error);
// One of the logger's levels: debug, info, warning, critical, fatal, in any letter case, or empty
// (fatal lines only). Other loggers' "warn" and "error" are meant as warning and critical.
void logLevel(QString &value, QString &error);
// The name of a dictionary in the "locales" directory beside the executable; where a program has no
// such directory (it starts no CRM link), only the form of the name is checked. A file name with
// ".json" is meant without it.
void locale(QString &value, QString &error);
// A name the service writes into the PBX's files and sends in its manager login (Asterisk.user): at most
// kMaxPbxNameBytes in UTF-8, and no control character anywhere, a line break above all, which would start a
// line of its own there. One pasted with a line break at its end is meant without it.
void pbxName(QString &value, QString &error);
// The manager secret (Asterisk.password): at most kMaxPbxSecretBytes in UTF-8.
void pbxSecret(QString &value, QString &error);
// The log file: a path that does not exist yet, or a regular file that holds this service's log
// (Utils::Logger::isUsableLogFile); never another file, a link, a FIFO, a device or a directory. Only in the
// folder of the log now (Utils::Logger::logDirectory): a save takes no other, and keeps the path with its folders'
// links resolved. Empty: the default path.
void logFile(QString &value, QString &error);
// The login of the web pages: not empty.
void webUser(QString &value, QString &error);
// Neither empty nor the built-in one, at least Modules::kMinWebPasswordLength characters long, and neither only
// white space nor one character repeated.
void webPassword(QString &value, QString &error);
// What the web server can listen on: an IP address, "localhost", or empty for every address.
void listenAddress(QString &value, QString &error);
// The portal's http or https address, kept as its scheme, host and port (a page's address copied from the
// browser is taken without its path); a bare host, as the page's help shows it, is taken as https.
void portalAddress(QString &value, QString &error);
// A local date and time "yyyy-MM-dd HH:mm:ss"; a date alone is meant as its midnight.
void dateTime(QString &value, QString &error);
// What is appended to the name of the directory "generated": letters, digits, '.', '_' and '-'.
void directoryPostfix(QString &value, QString &error);
// CRM user ids: 1 or more; the ids below 1 among them are meant as left out.
void userIds(QList<int> &value, QString &error);
// Trunk number to CRM source id (capitals, digits and '_', such as CALL or UC_7KX2M1); an id in small
// letters is meant in capitals, and an entry that is no id even so as left out.
void crmSources(QHash<QString, QString> &value, QString &error);

} // namespace Orvix::Config::Validators
