// Faults while streaming: frames that never come, short or failed chunks, refused submissions,
// allocation failures, a silent camera at stop, and removal while running.
#include "streaming_fixture.h"

#include "device/pool_tags.h"

namespace cameratest {
namespace {

class StreamFaults : public StreamingTest {
protected:
    void SetUp() override
    {
        StreamingTest::SetUp();
        device_->SetTimeout(200);  // a short frame time-out keeps the faults quick
    }

    // Waits until the counter has grown by `by` (the frame reads run on their own thread).
    static bool Grew(LONG volatile* counter, LONG before, LONG by)
    {
        for (int i = 0; i < 300 && InterlockedExchangeAdd(counter, 0) - before < by; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return InterlockedExchangeAdd(counter, 0) - before >= by;
    }

    // Waits until no raw frame is ready or being converted and no pass is busy.
    static bool WaitUntilNothingLeftToConvert(CaptureWorker& worker)
    {
        for (int i = 0; i < 500; ++i) {
            KIRQL irql = KfAcquireSpinLock(&worker.StateLock);
            bool idle = worker.RawState[0] != RawReady && worker.RawState[0] != RawConverting &&
                        worker.RawState[1] != RawReady && worker.RawState[1] != RawConverting;
            KfReleaseSpinLock(&worker.StateLock, irql);
            if (idle && InterlockedExchangeAdd(&worker.ConversionBusy, 0) == 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Reads until `count` frames arrived, allowing for failed reads in between.
    void ReadFrames(int count)
    {
        std::vector<std::uint8_t> frame;
        int delivered = 0;
        for (int attempt = 0; attempt < 20 && delivered < count; ++attempt) {
            KSSTREAM_HEADER header{};
            if (ReadFrame(frame, header, 2000) == STATUS_SUCCESS) {
                ASSERT_EQ(header.DataUsed, FrameBytes());
                ++delivered;
            }
        }
        ASSERT_EQ(delivered, count);
    }
};

TEST_F(StreamFaults, MissingFramesTimeOutAndTheStreamGoesOn)
{
    StartStreaming();
    ReadFrames(1);
    LONG before = device_->Transfer.TimedOutFrames;
    plugged_->camera->DropFrames(2);
    EXPECT_TRUE(Grew(&device_->Transfer.TimedOutFrames, before, 2));
    ReadFrames(2);
}

TEST_F(StreamFaults, TimedOutReadsAreNeverCountedAsFrames)
{
    ASSERT_NO_FATAL_FAILURE(StartStreamingWithAFrame());
    CaptureWorker& worker = *device_->Worker;
    LONG timedOut = device_->Transfer.TimedOutFrames;
    plugged_->camera->DropFrames(sim::kAlways);
    // After the first time-out every frame the camera sent has been read.
    ASSERT_TRUE(Grew(&device_->Transfer.TimedOutFrames, timedOut, 1));
    LONG read = worker.ReadFramesRead();
    ASSERT_TRUE(Grew(&device_->Transfer.TimedOutFrames, timedOut, 3));
    EXPECT_EQ(worker.ReadFramesRead(), read);
    plugged_->camera->ClearFaults();
    ReadFrames(1);
}

TEST_F(StreamFaults, DeliveriesAreCountedAndAPassWithoutANewFrameRepeatsTheLastImage)
{
    ASSERT_NO_FATAL_FAILURE(StartStreamingWithAFrame());
    CapturePin& pin = *device_->StreamOwner;
    CaptureWorker& worker = *device_->Worker;
    EXPECT_EQ(InterlockedExchangeAdd(&pin.FramesDelivered, 0), 1);
    EXPECT_EQ(InterlockedExchangeAdd(&pin.RepeatedFrames, 0), 0);
    EXPECT_GE(worker.ReadFramesConverted(), 1);
    EXPECT_LE(worker.ReadFramesConverted(), worker.ReadFramesRead());

    // The camera falls silent; once a read has timed out and no frame waits or is being
    // converted, every frame it sent has been converted.
    LONG timedOut = device_->Transfer.TimedOutFrames;
    plugged_->camera->DropFrames(sim::kAlways);
    ASSERT_TRUE(Grew(&device_->Transfer.TimedOutFrames, timedOut, 1));
    ASSERT_TRUE(WaitUntilNothingLeftToConvert(worker));
    LONG converted = worker.ReadFramesConverted();

    // Passes asked for now find no new raw frame. The first brings the client the newest
    // converted image, which may or may not be newer than its last frame; the second can only
    // repeat it, and the pin counts that frame as a repeat.
    std::vector<std::uint8_t> images[2];
    LONG repeatedBefore[2] = {};
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<std::uint8_t>& image = images[pass];
        repeatedBefore[pass] = InterlockedExchangeAdd(&pin.RepeatedFrames, 0);
        image.assign(FrameBytes(), 0);
        KSSTREAM_HEADER frameHeader{};
        frameHeader.Size = sizeof frameHeader;
        frameHeader.FrameExtent = static_cast<ULONG>(image.size());
        frameHeader.Data = image.data();
        HANDLE request = nullptr;
        ASSERT_EQ(KsQueueFrame(pin_.Get(), &frameHeader, &request), STATUS_SUCCESS);
        device_->NotifyFrameReady();  // what the capture thread does after each frame
        EXPECT_EQ(KsWaitFrame(request, 5000), STATUS_SUCCESS);
        KsCloseHandle(request);
        EXPECT_EQ(frameHeader.DataUsed, FrameBytes());
    }
    EXPECT_EQ(worker.ReadFramesConverted(), converted);
    EXPECT_EQ(InterlockedExchangeAdd(&pin.FramesDelivered, 0), 3);
    EXPECT_EQ(InterlockedExchangeAdd(&pin.RepeatedFrames, 0), repeatedBefore[1] + 1);
    EXPECT_EQ(images[0], images[1]);
    plugged_->camera->ClearFaults();
    ReadFrames(1);
}

TEST_F(StreamFaults, ShortFrameIsCountedAndNeverDelivered)
{
    StartStreaming();
    ReadFrames(1);
    LONG before = device_->Transfer.IncompleteFrames;
    LONG readBefore = device_->Worker->ReadFramesRead();
    plugged_->camera->ShortenFrames(1, 1000);
    EXPECT_TRUE(Grew(&device_->Transfer.IncompleteFrames, before, 1));
    ReadFrames(2);
    EXPECT_EQ(device_->Transfer.IncompleteFrames - before, 1);
    EXPECT_GE(device_->Worker->ReadFramesRead() - readBefore, 2);
}

TEST_F(StreamFaults, FailedChunkIsCountedAsIncomplete)
{
    StartStreaming();
    ReadFrames(1);
    LONG before = device_->Transfer.IncompleteFrames;
    plugged_->camera->FailNextIn(0x83, usbd::EndpointResult::Error);
    EXPECT_TRUE(Grew(&device_->Transfer.IncompleteFrames, before, 1));
    ReadFrames(2);
}

TEST_F(StreamFaults, RefusedSubmissionFailsOneFrameOnly)
{
    StartStreaming();
    ReadFrames(1);
    plugged_->port->RefuseSubmissions(STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED, 1);
    ReadFrames(2);
}

TEST_F(StreamFaults, AllocationFailuresOnTheFramePathAreSurvived)
{
    StartStreaming();
    ReadFrames(1);
    for (ULONG tag : {vf::TagFromText("Irp "), vf::TagFromText("Mdl "), vf::TagFromText("VUBA")}) {
        vf::FailAllocationsWithTag(tag);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        vf::ClearFaultInjection();
        ReadFrames(1);
    }
}

TEST_F(StreamFaults, RawBuffersThatCouldNotBeReallocatedAreAllocatedAtTheNextStart)
{
    ASSERT_NO_FATAL_FAILURE(StartStreamingWithAFrame());
    ASSERT_EQ(device_->StopCapture(), STATUS_SUCCESS);
    // A start with another frame size frees the raw buffers and cannot get new ones.
    const ULONG height = device_->Geometry.FrameHeight;
    device_->Geometry.FrameHeight = height / 2;
    vf::FailAllocationsWithTag(FrameBufferPoolTag);
    EXPECT_EQ(device_->StartCapture(), STATUS_INSUFFICIENT_RESOURCES);
    vf::ClearFaultInjection();
    // Back at the first size, the buffers are allocated again, and frames come.
    device_->Geometry.FrameHeight = height;
    ASSERT_EQ(device_->StartCapture(), STATUS_SUCCESS);
    EXPECT_EQ(device_->Worker->RawBufferSize, device_->Geometry.TransferSize);
    ReadFrames(2);
}

TEST_F(StreamFaults, StopWhileTheCameraIsSilentReturnsAtOnce)
{
    device_->SetTimeout(3000);
    StartStreaming();
    ReadFrames(1);
    plugged_->camera->DropFrames(sim::kAlways);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a read is now waiting
    // The framework stops the program if the state change takes longer than its budget.
    EXPECT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    plugged_->camera->ClearFaults();
}

TEST_F(StreamFaults, RemovalWhileRunningEndsTheApplicationsReadCleanly)
{
    StartStreaming();
    ReadFrames(1);
    std::vector<std::uint8_t> frame(FrameBytes());
    plugged_->port->Unplug();  // the driver's objects are gone after this
    device_ = nullptr;
    KSSTREAM_HEADER header{};
    EXPECT_NE(pin_.ReadFrame(frame, header, 2000), STATUS_SUCCESS);
    pin_.Close();
    filter_.Close();
}

}  // namespace
}  // namespace cameratest
