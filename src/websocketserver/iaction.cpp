#include "iaction.h"

#include <QDebug>
#include <QHash>

namespace Orvix::WebSocketServer {

namespace {

QHash<QString, IAction *> &registry()
{
    static QHash<QString, IAction *> actions;
    return actions;
}

} // namespace

IAction::IAction(const QString &name)
    : m_name(name)
{
    IAction *&slot = registry()[m_name];
    if (slot)
        qWarning() << "WebSocket action registered twice, the newer one answers:" << m_name;
    slot = this;
}

IAction::~IAction()
{
    auto it = registry().find(m_name);
    if (it != registry().end() && it.value() == this)
        registry().erase(it);
}

IAction *IAction::find(const QString &name)
{
    return registry().value(name, nullptr);
}

QStringList IAction::names()
{
    QStringList list = registry().keys();
    list.sort();
    return list;
}

} // namespace Orvix::WebSocketServer
