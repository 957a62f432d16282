// The capture pin's dropped-frame property, read through the client calls while the simulated
// camera loses frames in every way it can and while the client leaves the pin without frames:
// every picture is either delivered or dropped (PictureNumber = delivered + DropCount), every
// lost frame is a drop, and the counts start again when the pin leaves KSSTATE_STOP.
#include "streaming_fixture.h"

#include <array>

namespace cameratest {
namespace {

constexpr LONG kFrameTimeoutMs = 60;

struct DropCase {
    const char* name;
    // Makes the camera (or the client) lose pictures; returns how many at least.
    int (*inject)(PluggedCamera& plugged, CaptureDevice& device);
    // What the camera's stream statistics count for the fault: exactly, except that the
    // time-outs may be up to `timedOutSpread` more.
    LONG incompleteFrames;
    LONG timedOutFrames;
    LONG usbErrors;
    LONG timedOutSpread = 0;
};

// Waits until the camera has sent `count` more whole frames (the reads run on their own thread).
bool FramesReadGrew(CaptureWorker& worker, LONG count)
{
    LONG before = worker.ReadFramesRead();
    for (int i = 0; i < 500 && worker.ReadFramesRead() - before < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return worker.ReadFramesRead() - before >= count;
}

const DropCase kDropCases[] = {
    {"NoFault", [](PluggedCamera&, CaptureDevice&) { return 0; }, 0, 0, 0},
    {"FramesNeverCome",
     [](PluggedCamera& p, CaptureDevice&) {
         p.camera->DropFrames(3);
         return 3;
     },
     0, 3, 0},
    {"ShortFrames",
     [](PluggedCamera& p, CaptureDevice&) {
         p.camera->ShortenFrames(2, 30000);
         return 2;
     },
     2, 0, 0},
    {"FailedChunk",
     [](PluggedCamera& p, CaptureDevice&) {
         p.camera->FailNextIn(0x83, usbd::EndpointResult::Error);
         return 1;
     },
     1, 0, 1},
    {"LateFrames",
     [](PluggedCamera& p, CaptureDevice&) {
         // A late frame's read times out; the data that comes after it may still fill the
         // next read, so only the first is surely lost.
         p.camera->DelayFrames(2, std::chrono::milliseconds(kFrameTimeoutMs + 40));
         return 1;
     },
     // The second late frame comes at about the time the read after the first gives up.
     0, 1, 0, 1},
    // The client queues no frame while the camera sends three: none of them reaches it (the
    // next frame it queues is filled only after a newer frame came).
    {"NoClientFrames",
     [](PluggedCamera&, CaptureDevice& device) {
         return FramesReadGrew(*device.Worker, 3) ? 3 : -1;
     },
     0, 0, 0},
};

class DroppedFrames : public StreamingTest, public testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        StreamingTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        device_->SetTimeout(kFrameTimeoutMs);
    }

    NTSTATUS Query(KSPROPERTY_DROPPEDFRAMES_CURRENT_S& value, ULONG size = sizeof(value))
    {
        value = {};
        value.PictureNumber = -1;
        value.DropCount = -1;
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&value) + sizeof(KSPROPERTY);
        return ksclient::GetProperty(pin_.Get(), PROPSETID_VIDCAP_DROPPEDFRAMES,
                                     KSPROPERTY_DROPPEDFRAMES_CURRENT, &value, size, tail,
                                     sizeof(value) - sizeof(KSPROPERTY))
            .status;
    }

    KSPROPERTY_DROPPEDFRAMES_CURRENT_S Current()
    {
        KSPROPERTY_DROPPEDFRAMES_CURRENT_S value{};
        EXPECT_EQ(Query(value), STATUS_SUCCESS);
        return value;
    }

    // Reads `count` frames keeping up to two queued, so that the pin is seldom without a
    // frame and the drops are the camera's: each frame waits until a picture fills it.
    void ReadFrames(int count)
    {
        std::array<std::vector<std::uint8_t>, 2> images;
        std::array<KSSTREAM_HEADER, 2> headers{};
        std::array<HANDLE, 2> requests{};
        // A failed check leaves no request behind that could complete into these buffers.
        struct CancelLeft {
            std::array<HANDLE, 2>& requests;
            ~CancelLeft()
            {
                for (HANDLE& request : requests) {
                    if (request != nullptr) {
                        KsCancelFrame(request);
                        KsWaitFrame(request, 5000);
                        KsCloseHandle(request);
                    }
                }
            }
        } cancelLeft{requests};
        auto queue = [&](std::size_t slot) {
            images[slot].assign(FrameBytes(), 0);
            headers[slot] = {};
            headers[slot].Size = sizeof(KSSTREAM_HEADER);
            headers[slot].FrameExtent = FrameBytes();
            headers[slot].Data = images[slot].data();
            ASSERT_EQ(KsQueueFrame(pin_.Get(), &headers[slot], &requests[slot]), STATUS_SUCCESS);
        };
        int queued = 0;
        for (; queued < count && queued < 2; ++queued) {
            ASSERT_NO_FATAL_FAILURE(queue(static_cast<std::size_t>(queued)));
        }
        for (int done = 0; done < count; ++done) {
            std::size_t slot = static_cast<std::size_t>(done % 2);
            ASSERT_EQ(KsWaitFrame(requests[slot], 5000), STATUS_SUCCESS);
            KsCloseHandle(requests[slot]);
            requests[slot] = nullptr;
            ASSERT_EQ(headers[slot].DataUsed, FrameBytes());
            ++framesRead_;
            if (queued < count) {
                ASSERT_NO_FATAL_FAILURE(queue(slot));
                ++queued;
            }
        }
    }

    // Pictures the client got: its frames less those that repeated the picture before.
    LONGLONG PicturesReceived() const
    {
        return framesRead_ - InterlockedExchangeAdd(&device_->StreamOwner->RepeatedFrames, 0);
    }

    LONGLONG framesRead_ = 0;
};

TEST_P(DroppedFrames, EveryPictureIsDeliveredOrDropped)
{
    const DropCase& row = kDropCases[GetParam()];
    std::uint64_t requestsBefore = plugged_->camera->Statistics().frameRequests;
    ASSERT_NO_FATAL_FAILURE(StartStreaming());
    ASSERT_NO_FATAL_FAILURE(ReadFrames(2));
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S before = Current();
    EXPECT_EQ(before.PictureNumber - before.DropCount, PicturesReceived());
    EXPECT_GE(before.DropCount, 0);
    EXPECT_EQ(before.AverageFrameSize, FrameBytes());

    LONGLONG receivedBefore = PicturesReceived();
    int lost = row.inject(*plugged_, *device_);
    ASSERT_GE(lost, 0) << row.name;
    ASSERT_NO_FATAL_FAILURE(ReadFrames(3));
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S after = Current();
    EXPECT_EQ(after.PictureNumber - after.DropCount, PicturesReceived());
    EXPECT_GE(after.PictureNumber - before.PictureNumber,
              PicturesReceived() - receivedBefore + lost);
    EXPECT_GE(after.DropCount - before.DropCount, lost);
    EXPECT_EQ(after.AverageFrameSize, FrameBytes());

    // Paused, the capture thread has ended: every frame asked of the camera is a picture,
    // whole or not, except one whose read the pause itself cut short.
    ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    std::uint64_t requests = plugged_->camera->Statistics().frameRequests - requestsBefore;
    LONG pictures = device_->Worker->ReadPicturesTaken();
    EXPECT_LE(static_cast<std::uint64_t>(pictures), requests);
    EXPECT_GE(static_cast<std::uint64_t>(pictures) + 1, requests);
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S paused = Current();
    EXPECT_EQ(paused.PictureNumber, after.PictureNumber);
    EXPECT_EQ(paused.DropCount, after.DropCount);
    EXPECT_LE(paused.PictureNumber, pictures);

    // The camera's stream statistics agree with the pin, the worker and the fault.
    EXPECT_EQ(GetCameraProperty(CameraProperty::FramesDelivered), framesRead_);
    EXPECT_EQ(GetCameraProperty(CameraProperty::FramesDelivered) -
                  GetCameraProperty(CameraProperty::FramesRepeated),
              paused.PictureNumber - paused.DropCount);
    EXPECT_EQ(GetCameraProperty(CameraProperty::FramesDropped), paused.DropCount);
    EXPECT_EQ(GetCameraProperty(CameraProperty::FramesRead), device_->Worker->ReadFramesRead());
    EXPECT_EQ(GetCameraProperty(CameraProperty::FramesConverted),
              device_->Worker->ReadFramesConverted());
    EXPECT_EQ(GetCameraProperty(CameraProperty::IncompleteFrames), row.incompleteFrames);
    EXPECT_GE(GetCameraProperty(CameraProperty::TimedOutFrames), row.timedOutFrames);
    EXPECT_LE(GetCameraProperty(CameraProperty::TimedOutFrames),
              row.timedOutFrames + row.timedOutSpread);
    EXPECT_EQ(GetCameraProperty(CameraProperty::UsbErrors), row.usbErrors);

    // The pictures the pause left behind are drops once a later one is delivered. The first
    // frames after the resume may show the image from before the pause (a pass that finds no
    // new frame delivers the last one converted, which a pass without a client frame may have
    // converted just before the pause).
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S resumed = paused;
    for (int frame = 0; frame < 8 && resumed.PictureNumber <= pictures; ++frame) {
        ASSERT_NO_FATAL_FAILURE(ReadFrames(1));
        resumed = Current();
    }
    EXPECT_GT(resumed.PictureNumber, pictures);
    EXPECT_EQ(resumed.PictureNumber - resumed.DropCount, PicturesReceived());
}

INSTANTIATE_TEST_SUITE_P(Faults, DroppedFrames,
                         testing::Range(0, static_cast<int>(std::size(kDropCases))),
                         [](const testing::TestParamInfo<int>& cell) {
                             return std::string(kDropCases[cell.param].name);
                         });

TEST_F(DroppedFrames, CountsStartAgainWhenThePinLeavesStopAndNumberOnAcrossRuns)
{
    ASSERT_NO_FATAL_FAILURE(StartStreaming());
    ASSERT_NO_FATAL_FAILURE(ReadFrames(2));
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S first = Current();
    // Two frames, one picture or two (a slow pass may repeat the first).
    EXPECT_GE(first.PictureNumber, 1);
    EXPECT_EQ(first.PictureNumber - first.DropCount, PicturesReceived());

    // Back to acquire and running again: the worker numbers from 1, the pin numbers on.
    ASSERT_EQ(pin_.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(ReadFrames(1));
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S second = Current();
    EXPECT_GT(second.PictureNumber, first.PictureNumber);
    EXPECT_EQ(second.PictureNumber - second.DropCount, PicturesReceived());

    // Stopped, the camera's stream statistics still tell about the run, over both runs.
    ASSERT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(GetCameraProperty(CameraProperty::FramesDelivered), framesRead_);
    EXPECT_GE(GetCameraProperty(CameraProperty::FramesRead), 2);
    EXPECT_EQ(GetCameraProperty(CameraProperty::FramesDropped), second.DropCount);

    ASSERT_EQ(pin_.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S reset = Current();
    EXPECT_EQ(reset.PictureNumber, 0);
    EXPECT_EQ(reset.DropCount, 0);
    EXPECT_EQ(reset.AverageFrameSize, 0u);
    for (ULONG id = CameraProperty::FramesRead; id < CameraPropertyCount; ++id) {
        EXPECT_EQ(GetCameraProperty(id), 0) << CameraPropertyTable[id].Name;
    }
}

// A stop of the device under a running pin ends capture without the pin's stop; the pin's
// next RUN starts a new run. Its pictures are numbered after every picture of the run before.
TEST_F(DroppedFrames, PicturesAfterADeviceStopUnderTheRunningPinNumberOn)
{
    ASSERT_NO_FATAL_FAILURE(StartStreaming());
    ASSERT_NO_FATAL_FAILURE(ReadFrames(2));
    // Many pictures in the first run, so that the next run's first would not pass them if it
    // were numbered from 1 again.
    ASSERT_TRUE(FramesReadGrew(*device_->Worker, 40));
    KSDEVICE* ksDevice = device_->Device;
    CaptureDevice::Stop(ksDevice, nullptr);
    LONG firstRun = device_->Worker->ReadPicturesTaken();
    ASSERT_EQ(CaptureDevice::Start(ksDevice, nullptr, nullptr, nullptr), STATUS_SUCCESS);

    // A client frame waits before the run starts, so the run's first picture fills it.
    ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    std::vector<std::uint8_t> image(FrameBytes(), 0);
    struct {
        KSSTREAM_HEADER header;
        KS_FRAME_INFO info;
    } frame{};
    frame.header.Size = sizeof frame;
    frame.header.FrameExtent = FrameBytes();
    frame.header.Data = image.data();
    HANDLE request = nullptr;
    ASSERT_EQ(KsQueueFrame(pin_.Get(), &frame.header, &request), STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(KsWaitFrame(request, 5000), STATUS_SUCCESS);
    KsCloseHandle(request);
    ASSERT_EQ(frame.header.DataUsed, FrameBytes());
    ++framesRead_;

    EXPECT_GT(frame.info.PictureNumber, firstRun);
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S after = Current();
    EXPECT_EQ(after.PictureNumber, frame.info.PictureNumber);
    // Every picture up to it was delivered or dropped: the two of the first run's frames and
    // this one delivered, the rest dropped.
    EXPECT_EQ(after.PictureNumber - after.DropCount,
              GetCameraProperty(CameraProperty::FramesDelivered) -
                  GetCameraProperty(CameraProperty::FramesRepeated));
}

TEST_F(DroppedFrames, ShortBuffersAndSetsAreRefused)
{
    ASSERT_NO_FATAL_FAILURE(StartStreaming());
    ASSERT_NO_FATAL_FAILURE(ReadFrames(1));
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S value{};
    EXPECT_EQ(Query(value, sizeof(value) - 1), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(value.PictureNumber, -1);  // untouched
    EXPECT_EQ(ksclient::SetProperty(pin_.Get(), PROPSETID_VIDCAP_DROPPEDFRAMES,
                                    KSPROPERTY_DROPPEDFRAMES_CURRENT, &value, sizeof value,
                                    reinterpret_cast<const std::uint8_t*>(&value) + sizeof(KSPROPERTY),
                                    sizeof(value) - sizeof(KSPROPERTY))
                  .status,
              STATUS_INVALID_DEVICE_REQUEST);
    // The set belongs to the pin, not to the filter.
    EXPECT_EQ(ksclient::GetProperty(filter_.Get(), PROPSETID_VIDCAP_DROPPEDFRAMES,
                                    KSPROPERTY_DROPPEDFRAMES_CURRENT, &value, sizeof value,
                                    reinterpret_cast<const std::uint8_t*>(&value) + sizeof(KSPROPERTY),
                                    sizeof(value) - sizeof(KSPROPERTY))
                  .status,
              STATUS_PROPSET_NOT_FOUND);
}

}  // namespace
}  // namespace cameratest
