// The pin's picture accounting: see frame_statistics.h for what counts as a drop.
#include "pin/frame_statistics.h"

FrameStatistics::FrameStatistics()
{
    KeInitializeSpinLock(&Lock);
    Reset();
}

void FrameStatistics::Reset()
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    PictureBase = 0;
    LastPicture = 0;
    PicturesDelivered = 0;
    FramesDelivered = 0;
    BytesDelivered = 0;
    KfReleaseSpinLock(&Lock, irql);
}

void FrameStatistics::EndRun(LONG pictures)
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    if (pictures > 0) {
        PictureBase += pictures;
    }
    KfReleaseSpinLock(&Lock, irql);
}

FramePictureCounts FrameStatistics::CountDelivery(LONG picture, ULONG bytes)
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    if (picture > 0) {
        LONGLONG number = PictureBase + picture;
        if (number > LastPicture) {
            LastPicture = number;
            ++PicturesDelivered;
        }
    }
    ++FramesDelivered;
    BytesDelivered += bytes;
    FramePictureCounts counts = ReadLocked();
    KfReleaseSpinLock(&Lock, irql);
    return counts;
}

FramePictureCounts FrameStatistics::Read()
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    FramePictureCounts counts = ReadLocked();
    KfReleaseSpinLock(&Lock, irql);
    return counts;
}

FramePictureCounts FrameStatistics::ReadLocked() const
{
    FramePictureCounts counts;
    counts.PictureNumber = LastPicture;
    counts.DropCount = LastPicture - PicturesDelivered;
    counts.AverageFrameSize =
        FramesDelivered == 0 ? 0 : static_cast<ULONG>(BytesDelivered / FramesDelivered);
    return counts;
}
