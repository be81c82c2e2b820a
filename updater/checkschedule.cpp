#include "checkschedule.h"

#include <limits>

int CheckSchedule::periodMs(int seconds)
{
    // A timer with a negative interval never fires.
    return int(qMin<qint64>(qint64(seconds) * 1000, std::numeric_limits<int>::max()));
}

quint32 CheckSchedule::draw(const RandomSource &random, qint64 maxMs)
{
    if (maxMs <= 0 || !random)
        return 0;
    // A timer's interval is an int: a longer spread could not be waited for anyway.
    const quint32 bound = quint32(qMin<qint64>(maxMs, std::numeric_limits<int>::max() - 1) + 1);
    return qMin(random(bound), bound - 1);
}

int CheckSchedule::nextCheck(int periodSeconds, int jitterSeconds, const RandomSource &random)
{
    const int base = periodMs(periodSeconds);
    if (jitterSeconds <= 0)
        return base;
    const qint64 spread = qMin(qint64(jitterSeconds) * 1000, qint64(base) / 10);
    return int(qMin<qint64>(qint64(base) + draw(random, spread), std::numeric_limits<int>::max()));
}

int CheckSchedule::firstCheck(int delayMs, int jitterSeconds, const RandomSource &random)
{
    if (jitterSeconds <= 0)
        return delayMs;
    return delayMs
        + int(draw(random, qMin<qint64>(qint64(jitterSeconds) * 1000, std::numeric_limits<int>::max() - delayMs)));
}
