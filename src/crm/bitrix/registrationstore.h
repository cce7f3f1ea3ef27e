#pragma once

#include "crm/bitrix/callregistration.h"

#include <QHash>
#include <QString>

namespace Orvix::CRM::Bitrix {

// The open CRM registrations of the calls in progress, kept in a file beside the PBX link's saved
// state: after a restart of the service the link goes on with the calls it followed, and their CRM
// calls must still be finished, once. Written whole and atomically at every change. Main thread only.
class RegistrationStore
{
public:
    struct Entry
    {
        QString callId; // the PBX call the registration belongs to
        CallRegistration registration;
        bool entityCreated = false;

        bool operator==(const Entry &other) const;
    };
    // Keyed like the CRM API's pending registrations: a leg id or a call id.
    using Entries = QHash<QString, Entry>;

    void setFilePath(const QString &path) { m_filePath = path; }
    QString filePath() const { return m_filePath; }

    // Empty when there is no file; a file that cannot be read is reported and ignored.
    Entries load() const;
    // Writes a new file and renames it over the old one, so a crash leaves one or the other.
    bool save(const Entries &entries) const;

private:
    QString m_filePath;
};

} // namespace Orvix::CRM::Bitrix
