#ifndef CHECKSCHEDULE_H
#define CHECKSCHEDULE_H

#include <QtGlobal>

#include <functional>

// When the update cycle checks: the period, and a random spread of it so that a fleet does not
// ask the server in the same second.
class CheckSchedule
{
public:
    // A whole number from 0 to bound - 1; tests replace it to know the draw.
    using RandomSource = std::function<quint32(quint32 bound)>;

    // Periods of about 25 days and more overflow a timer's int milliseconds: they wait as long as
    // a timer can.
    static int periodMs(int seconds);
    // The period plus up to the jitter, but never more than a tenth of the period.
    static int nextCheck(int periodSeconds, int jitterSeconds, const RandomSource &random);
    // The delay of the first check plus up to the whole jitter: after a power cut every device of
    // a site starts at once.
    static int firstCheck(int delayMs, int jitterSeconds, const RandomSource &random);

private:
    static quint32 draw(const RandomSource &random, qint64 maxMs);
};

#endif
