#include "actions/localename.h"

#include "actions/reply.h"

#include <QRegularExpression>

namespace Orvix::Actions {

namespace {

bool isLocaleName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_-]{1,64}(\\.json)?\\z"));
    return pattern.match(name).hasMatch();
}

} // namespace

bool requireLocaleName(const QString &name, Reply *reply)
{
    if (isLocaleName(name))
        return true;
    reply->sendError(400, QStringLiteral("Malformed parameter: name"));
    return false;
}

} // namespace Orvix::Actions
