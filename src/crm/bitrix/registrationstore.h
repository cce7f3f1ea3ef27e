#pragma once

#include "crm/bitrix/callregistration.h"
#include "entities/conversation.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

namespace Orvix::CRM::Bitrix {

// The open CRM registrations of the calls in progress, kept in a file beside the PBX link's saved
// state: after a restart of the service the link goes on with the calls it followed, and their CRM
// calls must still be finished, once. The file is the whole of them as one JSON object on its first line (the
// form the last release wrote and reads), followed by a record a line of what changed since, appended and
// synced at every change: a change costs what it changed, not the whole of ten thousand calls. When the records
// outweigh the whole, it is written anew, aside and renamed into place. Main thread only.
class RegistrationStore
{
public:
    struct Entry
    {
        QString callId; // the PBX call the registration belongs to
        CallRegistration registration;
        bool entityCreated = false;
        // Set from just before its finish is sent until the portal's answer: the leg it finishes with. A
        // service stopped in between sends that finish again at its next start.
        Entities::Conversation finishing{};

        bool isFinishing() const { return !finishing.id().isEmpty(); }
        bool operator==(const Entry &other) const;
    };
    // Keyed like the CRM API's pending registrations: a leg id or a call id.
    using Entries = QHash<QString, Entry>;
    // A finished CRM call whose recording is still to be attached: a restart must not lose it.
    struct Upload
    {
        CallRegistration finish; // its CALL_ID and CRM_ACTIVITY_ID
        Entities::Conversation conversation;
        QDateTime owedSince; // when its finish was sent; invalid when a file of an older version had none
        // Started when this run came to owe it (never stored): a day is counted on it, not on the PBX's time,
        // which a backlog read after a long stop puts days behind until the link reaches the present rows.
        QElapsedTimer owedHere{};
    };
    // Keyed by the CRM call id.
    using Uploads = QHash<QString, Upload>;
    // What the call flow's stages read of a PBX call besides its registrations (see RegistrationLedger).
    struct CallFacts
    {
        bool transferred = false;   // a transfer of it was reported (the last release also kept a leg's)
        QStringList accepted;       // its legs answered: another that rings after them is a transfer's
        QStringList finished;       // the legs whose finish went through, or may have
        bool entityCreated = false; // the record its registrations bind was made for it
        CallRegistration bound;     // the registration it is bound to, for the lead hook and a deletion
        QDateTime since;            // on the PBX's clock: the last change; forgotten a day after it

        // The same facts, whenever they last changed.
        bool sameAs(const CallFacts &other) const
        {
            return transferred == other.transferred && accepted == other.accepted && finished == other.finished
                && entityCreated == other.entityCreated && bound.toJson() == other.bound.toJson()
                && bound.dealId() == other.bound.dealId();
        }
    };
    // Keyed by the PBX call id (or a leg id).
    using Facts = QHash<QString, CallFacts>;
    // The keys changed since the last write, by table; a key its table no longer holds has gone.
    struct Changes
    {
        QSet<QString> entries;
        QSet<QString> uploads;
        QSet<QString> facts;
    };

    void setFilePath(const QString &path) { m_filePath = path; }
    QString filePath() const { return m_filePath; }

    // Empty when there is no file; a file that cannot be read is reported and ignored, and so is a record cut
    // short by a crash. The uploads still owed go to uploads when it is given; with stamped, one without its
    // time is owed since now, and stamped is set. The next save writes the file whole.
    Entries load(Uploads *uploads = nullptr, bool *stamped = nullptr, Facts *facts = nullptr);
    // Writes a new file and renames it over the old one, so a crash leaves one or the other.
    bool save(const Entries &entries, const Uploads &uploads = Uploads(), const Facts &facts = Facts());
    // Appends what `changes` names of the tables as they are now; writes them whole instead when that is due.
    bool save(const Entries &entries, const Uploads &uploads, const Facts &facts, const Changes &changes,
              bool growing = false);
    // The next save writes the file whole: it was not written by this store yet, a write failed, the records
    // appended since the last whole one outweigh it (unless `growing`), or writeWholeNext asked for it.
    bool isWholeDue(bool growing = false) const;
    void writeWholeNext() { m_wholeDue = true; }
    // Records of changes follow the whole in the file, appended by this store or found by its load.
    bool hasRecords() const { return m_appendedBytes > 0; }

private:
    QString m_filePath;
    bool m_wholeDue = true;
    qint64 m_wholeBytes = 0;
    qint64 m_appendedBytes = 0;
};

} // namespace Orvix::CRM::Bitrix
