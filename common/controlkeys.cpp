#include "controlkeys.h"

namespace {
constexpr bool inIdOrder()
{
    for (int i = 0; i < ControlKeys::Count; ++i) {
        if (ControlKeys::keys[i].id != i)
            return false;
    }
    return true;
}
static_assert(inIdOrder(), "each control key sits at its own id");
}

const ControlKeys::Key *ControlKeys::find(const QString &name)
{
    for (const Key &key : keys) {
        if (name == QLatin1String(key.name))
            return &key;
    }
    return nullptr;
}

bool ControlKeys::isUnconfiguredLink(const QString &link)
{
    return link.trimmed().compare(QLatin1String(UnconfiguredLink), Qt::CaseInsensitive) == 0;
}
