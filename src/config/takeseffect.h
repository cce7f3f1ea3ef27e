#pragma once

#include <QJsonObject>
#include <QString>

namespace Orvix::Config {

// When a saved key is used: the web login at every request; the listeners, the log and the generated
// directory (which holds the service's lock) only at the service's start; every other key when the PBX
// and CRM links run again. Main thread.
enum class TakesEffect {
    AtOnce,
    WithTheLinks,
    AtServiceStart,
};

// key: "Section.key".
TakesEffect takesEffect(const QString &key);

// Whether a save of {section: {key: value}} holds a key the links read, so that they must run again for it.
bool changesTheLinks(const QJsonObject &changes);

// {section: {key: value}} of the keys the links read, as they are now: equal before and after a save that
// changed none of them.
QJsonObject linkSettings();

} // namespace Orvix::Config
