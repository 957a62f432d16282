// The camera's stream counts: see stream_statistics.h for what each one counts.
#include "capture/stream_statistics.h"

StreamStatistics::StreamStatistics()
{
    KeInitializeSpinLock(&Lock);
    RtlZeroMemory(&Counts, sizeof Counts);
}

void StreamStatistics::Reset()
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    RtlZeroMemory(&Counts, sizeof Counts);
    KfReleaseSpinLock(&Lock, irql);
}

void StreamStatistics::CountFrameRead()
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    ++Counts.FramesRead;
    KfReleaseSpinLock(&Lock, irql);
}

void StreamStatistics::CountIncompleteFrame()
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    ++Counts.IncompleteFrames;
    KfReleaseSpinLock(&Lock, irql);
}

void StreamStatistics::CountTimedOutFrame()
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    ++Counts.TimedOutFrames;
    KfReleaseSpinLock(&Lock, irql);
}

void StreamStatistics::CountUsbErrors(ULONG errors)
{
    if (errors == 0) {
        return;
    }
    KIRQL irql = KfAcquireSpinLock(&Lock);
    Counts.UsbErrors += errors;
    KfReleaseSpinLock(&Lock, irql);
}

void StreamStatistics::CountConversion(LONGLONG ticks, LONGLONG frequency)
{
    // Microseconds = ticks * 10^6 / frequency, limited to what the item's signed 32-bit value
    // holds (over half an hour); a tick count that would overflow the product is that limit.
    ULONG microseconds = 0;
    if (ticks > 0 && frequency > 0) {
        constexpr ULONGLONG limit = 0x7FFFFFFFull;
        ULONGLONG t = static_cast<ULONGLONG>(ticks);
        ULONGLONG f = static_cast<ULONGLONG>(frequency);
        ULONGLONG value = t > 0xFFFFFFFFFFFFFFFFull / 1000000u ? limit : t * 1000000u / f;
        microseconds = static_cast<ULONG>(value > limit ? limit : value);
    }
    KIRQL irql = KfAcquireSpinLock(&Lock);
    ++Counts.FramesConverted;
    Counts.LastConversionMicroseconds = microseconds;
    KfReleaseSpinLock(&Lock, irql);
}

void StreamStatistics::CountDelivery(bool newPicture, LONGLONG dropped)
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    ++Counts.FramesDelivered;
    if (!newPicture) {
        ++Counts.FramesRepeated;
    }
    Counts.FramesDropped = static_cast<ULONG>(dropped < 0 ? 0 : dropped);
    KfReleaseSpinLock(&Lock, irql);
}

StreamCounts StreamStatistics::Read()
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    StreamCounts counts = Counts;
    KfReleaseSpinLock(&Lock, irql);
    return counts;
}
