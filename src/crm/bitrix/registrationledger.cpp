#include "crm/bitrix/registrationledger.h"

#include <utility>

namespace Orvix::CRM::Bitrix {

namespace {

// Facts not changed for this long belong to a call whose end never came (a kill before it was handled).
constexpr qint64 kFactsForAtMostSecs = 24 * 60 * 60;

} // namespace

void RegistrationLedger::save()
{
    if (m_beforeSave)
        m_beforeSave();
    write(std::exchange(m_changes, {}));
}

void RegistrationLedger::saveFacts()
{
    if (!hasUnsavedFacts())
        return;
    RegistrationStore::Changes facts;
    facts.facts = std::exchange(m_changes.facts, {});
    write(facts, true);
}

void RegistrationLedger::write(const RegistrationStore::Changes &changes, bool growing)
{
    if (m_store.isWholeDue(growing)) {
        // The facts of a call whose end never came (a kill before it was handled) go with the file's rewrite.
        const QDateTime pbxNow = now();
        for (auto it = m_facts.begin(); pbxNow.isValid() && it != m_facts.end();) {
            const bool old = it->since.isValid() && it->since.secsTo(pbxNow) > kFactsForAtMostSecs;
            it = old ? m_facts.erase(it) : std::next(it);
        }
        m_store.save(m_saved, m_owed, m_facts);
    } else {
        m_store.save(m_saved, m_owed, m_facts, changes);
    }
}

QDateTime RegistrationLedger::now() const
{
    // Invalid before the PBX's time is known: counted as new, never as this host's time, which may be hours off.
    return m_now ? m_now() : QDateTime();
}

RegistrationStore::Entries RegistrationLedger::load(bool *stamped)
{
    Uploads uploads;
    RegistrationStore::Facts facts;
    const RegistrationStore::Entries entries = m_store.load(&uploads, stamped, &facts);
    m_owed.insert(uploads);
    // Unknown (the PBX's time not known yet): kept.
    const QDateTime pbxNow = now();
    for (auto it = facts.cbegin(); it != facts.cend(); ++it) {
        if (!pbxNow.isValid() || !it->since.isValid() || it->since.secsTo(pbxNow) <= kFactsForAtMostSecs)
            m_facts.insert(it.key(), *it);
        else if (stamped)
            *stamped = true;
    }
    return entries;
}

void RegistrationLedger::setFacts(const QString &id, CallFacts facts)
{
    if (facts.sameAs(m_facts.value(id)))
        return;
    facts.since = now();
    m_facts.insert(id, facts);
    m_changes.facts.insert(id);
}

void RegistrationLedger::forgetFacts(const QStringList &ids)
{
    for (const QString &id : ids) {
        if (m_facts.remove(id) > 0)
            m_changes.facts.insert(id);
    }
}

RegistrationLedger::Restore RegistrationLedger::restore(const QString &key, const Entry &entry)
{
    // A new start of the link finds the finishes of this run on their way: they are not sent twice. Those
    // kept for this start go now.
    const QString crmCallId = entry.registration.callId();
    const bool onItsWay = m_sent.value(entry.callId).contains(crmCallId);
    if (entry.isFinishing() && onItsWay && !isKept(crmCallId))
        return Restore::Skip;
    m_saved.insert(key, entry);
    m_changes.entries.insert(key);
    if (!entry.isFinishing() || m_states.value(crmCallId) == State::Resent)
        return Restore::Restored;
    // The portal answers a finish of a call it closed already with "Call is not found", which counts as
    // finished: the CRM call is still finished once. Its recording waits for the answer.
    m_states.insert(crmCallId, State::Resent);
    m_inHand.insert(crmCallId);
    return Restore::Resend;
}

void RegistrationLedger::leave(const QStringList &keys)
{
    bool changed = false;
    for (const QString &key : keys) {
        const auto saved = m_saved.find(key);
        if (saved == m_saved.end() || (saved->isFinishing() && isKept(saved->registration.callId())))
            continue;
        m_saved.erase(saved);
        m_changes.entries.insert(key);
        changed = true;
    }
    if (changed)
        save();
}

void RegistrationLedger::finishing(const QString &key, const CallRegistration &registration, bool entityCreated,
                                   const Entities::Conversation &leg, const Utils::Promise<int> &finish)
{
    const QString crmCallId = registration.callId();
    m_sent[leg.callId()].insert(crmCallId, finish);
    if (crmCallId.isEmpty())
        return;
    Entry entry = m_saved.value(key);
    if (entry.callId.isEmpty())
        entry = {leg.callId(), registration, entityCreated, {}};
    entry.finishing = leg;
    m_saved.insert(key, entry);
    m_changes.entries.insert(key);
    if (!m_owed.contains(crmCallId))
        oweHere(crmCallId, {registration, leg, now()});
    // Sent after the finish's answer: a start of the PBX link meanwhile must not send it as well.
    m_inHand.insert(crmCallId);
    save();
}

std::optional<Utils::Promise<int>> RegistrationLedger::finishOnItsWay(const QString &callId,
                                                                      const QString &crmCallId) const
{
    const auto call = m_sent.constFind(callId);
    if (call == m_sent.constEnd() || !call->contains(crmCallId))
        return std::nullopt;
    return call->value(crmCallId);
}

bool RegistrationLedger::done(const QString &callId, const QString &crmCallId)
{
    // A CRM call filed under a leg and under its call is finished once; the finish of this run keeps the
    // other entry from finishing it again, but after a restart only the saved copy would be left.
    bool erased = false;
    for (auto it = m_saved.begin(); it != m_saved.end();) {
        const bool finished = it->callId == callId && it->registration.callId() == crmCallId;
        if (finished)
            m_changes.entries.insert(it.key());
        erased = erased || finished;
        it = finished ? m_saved.erase(it) : std::next(it);
    }
    if (erased)
        save();
    return m_states.take(crmCallId) == State::Resent || m_replayed.contains(callId);
}

bool RegistrationLedger::abandon(const QString &key, const QString &crmCallId)
{
    if (isKept(crmCallId))
        return false;
    m_states.remove(crmCallId);
    const auto saved = m_saved.find(key);
    const bool erased = saved != m_saved.end() && saved->registration.callId() == crmCallId;
    if (erased) {
        m_saved.erase(saved);
        m_changes.entries.insert(key);
    }
    m_inHand.remove(crmCallId);
    // An upload still owed is forgotten in the same write.
    const bool owed = m_owed.remove(crmCallId) > 0;
    if (owed)
        m_changes.uploads.insert(crmCallId);
    if (owed || erased)
        save();
    return true;
}

void RegistrationLedger::oweRecording(const CallRegistration &finish, const Entities::Conversation &conversation)
{
    if (finish.callId().isEmpty())
        return;
    m_inHand.insert(finish.callId());
    const auto owed = m_owed.find(finish.callId());
    if (owed == m_owed.end()) {
        oweHere(finish.callId(), {finish, conversation, now()});
    } else {
        // Owed since before the finish was sent: the answer adds the activity a link goes into.
        if (owed->finish.activityId() == finish.activityId())
            return;
        owed->finish = finish;
        m_changes.uploads.insert(finish.callId());
    }
    save();
}

void RegistrationLedger::oweHere(const QString &crmCallId, Upload upload)
{
    upload.owedHere.start();
    m_owed.insert(crmCallId, upload);
    m_changes.uploads.insert(crmCallId);
}

RegistrationLedger::Uploads RegistrationLedger::takeOwed()
{
    // Those of a previous run only: what this run owes is on its way (a restart of the links comes here again).
    Uploads owed;
    for (auto it = m_owed.cbegin(); it != m_owed.cend(); ++it) {
        if (m_inHand.contains(it.key()))
            continue;
        owed.insert(it.key(), *it);
        m_inHand.insert(it.key());
    }
    return owed;
}

} // namespace Orvix::CRM::Bitrix
