// The camera's stream counts behind the statistics items of the private property set.
//
// They cover the stream of the pin that last left KSSTATE_STOP (cleared when a pin claims the
// stream at ACQUIRE) and stay readable after that pin stops or closes, until the next claim.
// Each count is kept by the code that sees the event happen:
// - FramesRead: whole raw frames the capture thread read.
// - FramesConverted: raw frames converted into the output image.
// - FramesDelivered: client frames filled with an image (a repeat included).
// - FramesRepeated: delivered frames that carried no new picture (the picture delivered before).
// - FramesDropped: pictures not delivered, up to the last delivered one: the dropped-frame
//   property's DropCount, so FramesDelivered - FramesRepeated = PictureNumber - DropCount.
// - IncompleteFrames: frame reads that ended with a chunk short or failed, including one that
//   then waited out the time-out.
// - TimedOutFrames: frame reads that waited out the time-out with no chunk short or failed.
// - UsbErrors: chunk transfers that ended in an error (a refused submission included; chunks
//   the driver itself cancelled at a stop or a time-out are not errors).
// - LastConversionMicroseconds: how long the last conversion took, in microseconds.
//
// One spin lock guards every count, so a reader gets them all from one moment; writers are the
// capture thread, the USB completion path (through the capture thread's frame read), the pin's
// process pass and the pin's state change. Counts wrap at 2^32.
#pragma once

#include <wdm.h>

struct StreamCounts {
    ULONG FramesRead;
    ULONG FramesConverted;
    ULONG FramesDelivered;
    ULONG FramesRepeated;
    ULONG FramesDropped;
    ULONG IncompleteFrames;
    ULONG TimedOutFrames;
    ULONG UsbErrors;
    ULONG LastConversionMicroseconds;
};

class StreamStatistics {
public:
    StreamStatistics();
    // A pin claimed the stream: every count back to 0.
    void Reset();
    void CountFrameRead();
    void CountIncompleteFrame();
    void CountTimedOutFrame();
    void CountUsbErrors(ULONG errors);
    // One conversion that took `ticks` of a counter running at `frequency` ticks a second.
    void CountConversion(LONGLONG ticks, LONGLONG frequency);
    // A client frame was filled; `newPicture` false when it repeated the picture before,
    // `dropped` the pictures not delivered up to the last delivered one.
    void CountDelivery(bool newPicture, LONGLONG dropped);
    StreamCounts Read();

private:
    KSPIN_LOCK Lock;  // guards Counts
    StreamCounts Counts;
};
