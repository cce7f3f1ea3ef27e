#include "utils/samesecret.h"

namespace Orvix::Utils {

bool sameSecret(const QString &given, const QString &expected)
{
    if (expected.isEmpty() || given.size() != expected.size())
        return false;
    ushort difference = 0;
    for (int i = 0; i < given.size(); ++i)
        difference |= given.at(i).unicode() ^ expected.at(i).unicode();
    return difference == 0;
}

} // namespace Orvix::Utils
