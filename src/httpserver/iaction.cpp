#include "iaction.h"

#include <QDebug>
#include <QHash>

namespace Orvix::HttpServer {

namespace {

QHash<QString, IAction *> &registry()
{
    static QHash<QString, IAction *> actions;
    return actions;
}

} // namespace

IAction::IAction(const QString &route, bool requiresAuth)
    : m_route(route)
    , m_requiresAuth(requiresAuth)
{
    IAction *&slot = registry()[m_route];
    if (slot)
        qWarning() << "HTTP route registered twice, the newer action answers:" << m_route;
    slot = this;
}

IAction::~IAction()
{
    auto it = registry().find(m_route);
    if (it != registry().end() && it.value() == this)
        registry().erase(it);
}

IAction *IAction::find(const QString &route)
{
    return registry().value(route, nullptr);
}

QStringList IAction::routes()
{
    QStringList list = registry().keys();
    list.sort();
    return list;
}

} // namespace Orvix::HttpServer
