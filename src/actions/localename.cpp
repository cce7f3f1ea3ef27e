#include "actions/localename.h"

#include <QRegularExpression>

namespace Orvix::Actions {

bool isLocaleName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_-]{1,64}(\\.json)?\\z"));
    return pattern.match(name).hasMatch();
}

} // namespace Orvix::Actions
