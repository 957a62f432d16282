// The pin's picture accounting behind the dropped-frame property (and the frame information
// of each delivered frame).
//
// A picture is one frame the capture thread asked the camera for while the stream ran, whether
// it came whole or not: a frame that never came (time-out), came short, or whose transfer
// failed or could not be submitted is a picture lost on the way. Reads ended by a stop or a
// pause are not pictures. The worker numbers its pictures on over all its runs (a run the
// device's stop ended and the pin's next RUN started again included); the pin counts from the
// worker's number when it left KSSTATE_STOP.
//
// A picture is delivered when a client frame is filled with it for the first time. Every other
// picture is dropped: lost on the way, overwritten in the raw buffers or in the output image
// before a client frame was there for it, left behind by a pause or stop, or refused by a
// client frame too small for it. A client frame that repeats the picture delivered last (no
// newer one was converted) is delivered but is no new picture.
//
// PictureNumber is the number of the last picture delivered, DropCount the pictures up to it
// that were not delivered, so PictureNumber = pictures delivered + DropCount at every moment;
// pictures newer than the last delivered one are judged once a later one is delivered.
#pragma once

#include "device/streaming_headers.h"

struct FramePictureCounts {
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    ULONG AverageFrameSize;
    // CountDelivery only: the frame carried a picture not delivered before.
    bool NewPicture;
};

class FrameStatistics {
public:
    FrameStatistics();
    // Back to no pictures: the pin leaves KSSTATE_STOP when the worker has numbered
    // `picturesBefore` pictures; its next picture is the pin's picture 1.
    void Reset(LONG picturesBefore = 0);
    // A client frame of `bytes` was filled with the worker's picture `picture` (0: an image that
    // is no picture of this run). Returns the counts as the frame's information reports them.
    FramePictureCounts CountDelivery(LONG picture, ULONG bytes);
    FramePictureCounts Read();

private:
    FramePictureCounts ReadLocked() const;

    KSPIN_LOCK Lock;  // guards every member below
    LONG PicturesBefore;
    LONGLONG LastPicture;
    LONGLONG PicturesDelivered;
    ULONGLONG FramesDelivered;
    ULONGLONG BytesDelivered;
};
