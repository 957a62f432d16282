// Faults while streaming: frames that never come, short or failed chunks, refused submissions,
// allocation failures, a silent camera at stop, and removal while running.
#include "streaming_fixture.h"

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
