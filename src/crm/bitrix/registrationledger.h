#pragma once

#include "crm/bitrix/callregistration.h"
#include "crm/bitrix/registrationstore.h"
#include "entities/conversation.h"
#include "utils/promise.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <optional>

namespace Orvix::CRM::Bitrix {

// Where each CRM call stands across restarts of the link and stops of the service, from its register to its
// finish and its recording, and what the call flow's stages read of its PBX call. Until its register is
// answered a call's work is a kept event (KeptEvents), which holds the register as first sent and sends it
// so again; from then on it is here, and what a restart must see is written to crm_registrations.json at
// every change, the kept events first: what changed, appended (RegistrationStore). The calls' facts go with the
// kept events' next write instead, between the records and the marks of the events (EventJournal).
//
// A CRM call's finish:
// - registered: saved under its key, a leg id or a call id; one CRM call may be filed under both;
// - finishing: marked on disk, with its leg, from just before the finish is sent until its answer;
// - kept: it did not reach the portal; sent again at the next start of the link, not before, and given up
//   with its recording a day after it was first sent;
// - resent: sent again at this start of the link, its answer cut off by a stop, or kept;
// - done: answered, refused or given up, it leaves the file; a kept one is not given up by its call's end.
// Its recording, from the finish on:
// - owed: on disk until attached or given up, a day after its finish was first sent;
// - in hand: this run attaches it, now or once its finish is answered;
// - attached or given up: it leaves the file.
// A stop of the link or of the service changes nothing here. A start of the link (restore) puts back the saved
// registrations but those whose finish this run has on its way, and sends again the finishes found finishing
// (a stop cut off their answers) and those kept. A start of the PBX link takes the owed recordings nobody has
// in hand (takeOwed); a resent finish, or one of a call whose events a previous run kept, answered before it
// leaves its recording to it.
//
// What the stages read of a PBX call, and where it is kept, so that a run with a stop makes the CRM writes of
// a run without one:
// - its open registrations, under a leg's id or the call's: here; one whose register is not answered yet, in
//   its kept event (the register as sent, and whether the record it binds was added for the call);
// - the registration it is bound to, and whether that record was made for it (the lead hook, the employee
//   who answered, a deletion): its facts here;
// - whether it was transferred, by a transfer reported or a leg answered before: its facts here, as they
//   stand now; a kept event holds what its stage read of them when it first ran, since the facts of a later
//   event of the call may be on disk already when it runs again;
// - which of its legs' finishes went through, or may have: its facts here; a lead the CRM made for the call is
//   deleted only when none did, and the end of a leg handed over again after its finish warns of nothing;
// - the legs the PBX link tracks (consultations included): the PBX link's state.json.
// Facts leave with the call's end, or a day after their last change (at a start, or when the file is written
// whole). Main thread only; owned by the CRM API.
class RegistrationLedger
{
public:
    using Entry = RegistrationStore::Entry;
    using Upload = RegistrationStore::Upload;
    using Uploads = RegistrationStore::Uploads;
    using CallFacts = RegistrationStore::CallFacts;
    enum class Restore { Skip, Restored, Resend };

    void setFilePath(const QString &path) { m_store.setFilePath(path); }
    // Called before each write: what must be on disk first.
    void setBeforeSave(std::function<void()> beforeSave) { m_beforeSave = std::move(beforeSave); }
    // The PBX's time now, for what is owed since when and the facts' age.
    void setClock(std::function<QDateTime()> now) { m_now = std::move(now); }
    void save();
    // Writes the file whole when records of changes follow the whole: after a stop it is in the form the last
    // release reads.
    void compact()
    {
        if (!m_store.hasRecords())
            return;
        m_store.writeWholeNext();
        save();
    }
    // A clean run: nothing of the calls before it is finished or attached.
    void clear()
    {
        m_saved.clear();
        m_owed.clear();
        m_states.clear();
        m_facts.clear();
        m_changes = {};
        m_store.writeWholeNext();
    }

    // At each start of the link: the saved registrations, for restore(); the recordings owed come back owed.
    // A file of an older version owes them since now: stamped says the file is to be written again.
    // Facts a day old are left out.
    RegistrationStore::Entries load(bool *stamped);
    Restore restore(const QString &key, const Entry &entry);

    void registered(const QString &key, const Entry &entry)
    {
        m_saved.insert(key, entry);
        m_changes.entries.insert(key);
        save();
    }
    // Gone before its finish (refused, dropped).
    void forget(const QString &key)
    {
        if (m_saved.remove(key) == 0)
            return;
        m_changes.entries.insert(key);
        save();
    }
    // Its call ended: nothing later finishes these, but a kept finish.
    void leave(const QStringList &keys);

    // On disk before the finish is sent, its recording owed and in hand; `finish` serves the CRM call's other
    // key in this run. entityCreated: for a registration not saved yet.
    void finishing(const QString &key, const CallRegistration &registration, bool entityCreated,
                   const Entities::Conversation &leg, const Utils::Promise<int> &finish);
    std::optional<Utils::Promise<int>> finishOnItsWay(const QString &callId, const QString &crmCallId) const;
    void keep(const QString &crmCallId) { m_states.insert(crmCallId, State::Kept); }
    bool isKept(const QString &crmCallId) const { return m_states.value(crmCallId) == State::Kept; }
    // Answered: no saved entry finishes it again. True when it was resent, or its call's events were kept by a
    // previous run: done before the PBX link is up, its recording waits for it.
    bool done(const QString &callId, const QString &crmCallId);
    // Refused, or its activity deleted: nothing of it goes again, its recording is not attached. False for a
    // kept one, which stays.
    bool abandon(const QString &key, const QString &crmCallId);
    void replayed(const QString &callId) { m_replayed.insert(callId); }
    // The finishes of the call's CRM calls in this run.
    void forgetCall(const QString &callId)
    {
        m_sent.remove(callId);
        m_replayed.remove(callId);
    }

    CallFacts facts(const QString &id) const { return m_facts.value(id); }
    // A leg answered in a call whose facts are kept: no call of its own.
    bool isAnsweredLeg(const QString &id) const
    {
        return std::any_of(m_facts.cbegin(), m_facts.cend(),
                           [&id](const CallFacts &facts) { return facts.accepted.contains(id); });
    }
    // Saved by saveFacts, which the kept events' next write calls before it marks any of them done, or with the
    // next save.
    void setFacts(const QString &id, CallFacts facts);
    void forgetFacts(const QStringList &ids);
    bool hasUnsavedFacts() const { return !m_changes.facts.isEmpty(); }
    // The facts alone, appended even when the records outweigh the whole: written whole here, the file would hold
    // a registration that left meanwhile before the kept events' marks. The next save writes it whole.
    void saveFacts();

    // The answer of the finish names the activity a link goes into.
    void oweRecording(const CallRegistration &finish, const Entities::Conversation &conversation);
    bool isOwed(const QString &crmCallId) const { return m_owed.contains(crmCallId); }
    Upload owed(const QString &crmCallId, const Upload &otherwise) const { return m_owed.value(crmCallId, otherwise); }
    // Left to the start of the PBX link.
    void putDown(const QString &crmCallId) { m_inHand.remove(crmCallId); }
    // Attached or given up.
    void recordingDone(const QString &crmCallId)
    {
        m_inHand.remove(crmCallId);
        if (m_owed.remove(crmCallId) == 0)
            return;
        m_changes.uploads.insert(crmCallId);
        save();
    }
    Uploads takeOwed();

private:
    // Open (never stored): registered, or finishing in this run.
    enum class State { Open, Kept, Resent };

    QDateTime now() const;
    void write(const RegistrationStore::Changes &changes, bool growing = false);
    // Owed from now on by this run.
    void oweHere(const QString &crmCallId, Upload upload);

    RegistrationStore m_store;
    // What changed since the last write.
    RegistrationStore::Changes m_changes;
    std::function<void()> m_beforeSave;
    std::function<QDateTime()> m_now;
    RegistrationStore::Facts m_facts;
    RegistrationStore::Entries m_saved;
    QHash<QString, State> m_states; // by CRM call
    Uploads m_owed;
    QSet<QString> m_inHand;
    // Per PBX call, by CRM call: the finish sent in this run.
    QHash<QString, QHash<QString, Utils::Promise<int>>> m_sent;
    QSet<QString> m_replayed; // PBX calls
};

} // namespace Orvix::CRM::Bitrix
