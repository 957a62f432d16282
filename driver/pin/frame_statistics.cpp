// The pin's picture accounting: see frame_statistics.h for what counts as a drop.
#include "pin/frame_statistics.h"

FrameStatistics::FrameStatistics()
{
    KeInitializeSpinLock(&Lock);
    Reset();
}

void FrameStatistics::Reset(LONG picturesBefore)
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    PicturesBefore = picturesBefore;
    LastPicture = 0;
    PicturesDelivered = 0;
    FramesDelivered = 0;
    BytesDelivered = 0;
    KfReleaseSpinLock(&Lock, irql);
}

FramePictureCounts FrameStatistics::CountDelivery(LONG picture, ULONG bytes)
{
    KIRQL irql = KfAcquireSpinLock(&Lock);
    bool newPicture = false;
    // Distance on the worker's 32-bit count, so numbering goes on across its wrap; a picture
    // from before the pin left KSSTATE_STOP (none should reach here) is no picture of the pin.
    ULONG distance = static_cast<ULONG>(picture) - static_cast<ULONG>(PicturesBefore);
    if (picture != 0 && distance != 0 && distance <= 0x7FFFFFFFu) {
        LONGLONG number = distance;
        if (number > LastPicture) {
            LastPicture = number;
            ++PicturesDelivered;
            newPicture = true;
        }
    }
    ++FramesDelivered;
    BytesDelivered += bytes;
    FramePictureCounts counts = ReadLocked();
    KfReleaseSpinLock(&Lock, irql);
    counts.NewPicture = newPicture;
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
    counts.NewPicture = false;
    counts.AverageFrameSize =
        FramesDelivered == 0 ? 0 : static_cast<ULONG>(BytesDelivered / FramesDelivered);
    return counts;
}
