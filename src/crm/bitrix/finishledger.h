#pragma once

#include <QHash>
#include <QString>

namespace Orvix::CRM::Bitrix {

// Where the finish of each CRM call stands across stops of the link and of the service, beside its saved
// registration (marked as finishing from just before the finish is sent until its answer). A CRM call is
// registered, then finishing; a finish that did not reach the portal is kept for the next start of the
// link, one whose answer a stop cut off is resent at the start; answered, refused or given up, it is done
// and leaves the ledger. The rules of a restart read here:
// - a finish on its way is not sent again by a new start of the link, one kept is (sendAgainNow);
// - a kept finish outlives the end of its call and a failed try (isKept);
// - a resent finish's recording waits for the PBX link (done says it was resent).
// Main thread only; owned by the CRM API.
class FinishLedger
{
public:
    enum class State { Finishing, Kept, Resent };

    // Did not reach the portal: sent again at the next start of the link, not before.
    void keep(const QString &crmCallId) { m_states.insert(crmCallId, State::Kept); }
    // Sent again at this start: a stop left it without its answer, or kept it.
    void resend(const QString &crmCallId) { m_states.insert(crmCallId, State::Resent); }
    bool isKept(const QString &crmCallId) const { return m_states.value(crmCallId) == State::Kept; }
    bool isResent(const QString &crmCallId) const { return m_states.value(crmCallId) == State::Resent; }
    // A start of the link sends a saved finish now unless it is on its way in this run, or resent already.
    bool sendAgainNow(const QString &crmCallId, bool onItsWay) const
    {
        return !isResent(crmCallId) && (!onItsWay || isKept(crmCallId));
    }
    // Answered, refused or given up: true when it was a resent one.
    bool done(const QString &crmCallId) { return m_states.take(crmCallId) == State::Resent; }
    void clear() { m_states.clear(); }

private:
    // Absent: registered, or finishing in this run.
    QHash<QString, State> m_states;
};

} // namespace Orvix::CRM::Bitrix
