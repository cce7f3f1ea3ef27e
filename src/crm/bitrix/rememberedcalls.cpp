#include "crm/bitrix/rememberedcalls.h"

#include "entities/clock.h"

#include <QDebug>
#include <QStringList>

namespace Orvix::CRM::Bitrix {

void RememberedCalls::remember(const QString &key, const QJsonObject &event)
{
    qDebug() << "\tRemember call entity:" << event;
    m_calls.insert(key, qMakePair(Entities::Clock::now(), CallRegistration(event)));
    if (m_calls.size() > kRememberedCallsWarning)
        qWarning() << "More than 100 calls were remembered";
}

bool RememberedCalls::has(const QString &key)
{
    const auto it = m_calls.constFind(key);
    if (it == m_calls.constEnd())
        return false;
    const qint64 seconds = it->first.msecsTo(Entities::Clock::now()) / 1000;
    if (seconds <= kRememberedCallLifetime.count())
        return true;
    m_calls.remove(key);
    qDebug() << "Old call removed! " << QStringList(m_calls.keys());
    return false;
}

CallRegistration RememberedCalls::find(const QString &key) const
{
    return m_calls.value(key).second;
}

void RememberedCalls::remove(const QString &key)
{
    m_calls.remove(key);
}

} // namespace Orvix::CRM::Bitrix
