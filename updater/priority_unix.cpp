#include "priority.h"

#include <cerrno>
#include <cstring>

#include <sys/resource.h>

namespace Priority {

bool lower(int level, QString *report)
{
    errno = 0;
    // -1 is also a valid nice value; only errno tells an error apart.
    const int current = ::getpriority(PRIO_PROCESS, 0);
    if (current == -1 && errno != 0) {
        *report = QStringLiteral("cannot read the nice value: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (level <= 0) {
        *report = QStringLiteral("nice value left at %1").arg(current);
        return true;
    }
    const int target = qMin(level, 19);
    // Lowering it again would need privileges; a device started with a higher value keeps it.
    if (current >= target) {
        *report = QStringLiteral("nice value stays at %1 (asked %2)").arg(current).arg(target);
        return true;
    }
    if (::setpriority(PRIO_PROCESS, 0, target) != 0) {
        *report = QStringLiteral("cannot set nice value %1: ").arg(target) + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    *report = QStringLiteral("nice value %1 (was %2)").arg(target).arg(current);
    return true;
}

}
