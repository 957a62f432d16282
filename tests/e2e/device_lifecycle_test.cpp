// The device's life cycle under a running stream: a stop of the device ends capture before it
// frees what capture uses and the restarted device streams again, and a run that cannot start
// its capture thread fails.
#include "streaming_fixture.h"

namespace cameratest {
namespace {

using DeviceLifecycle = StreamingTest;

TEST_F(DeviceLifecycle, StopWhileRunningEndsCaptureFirstAndTheRestartedDeviceStreamsAgain)
{
    ASSERT_NO_FATAL_FAILURE(StartStreamingWithAFrame());
    CaptureWorker* worker = device_->Worker;
    ASSERT_EQ(pnp::StopDevice(plugged_->Pdo()), STATUS_SUCCESS);
    // The capture thread has ended and the worker holds no processor a later start could use.
    EXPECT_FALSE(worker->IsRunning());
    EXPECT_EQ(worker->CaptureThread, nullptr);
    EXPECT_EQ(worker->Processor, nullptr);
    EXPECT_EQ(device_->Processor, nullptr);

    // The stop closed the filter and its pin: the old pin's calls fail.
    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    EXPECT_FALSE(NT_SUCCESS(pin_.SetState(KSSTATE_RUN)));
    EXPECT_FALSE(NT_SUCCESS(ReadFrame(frame, header, 200)));
    pin_.Close();
    filter_.Close();

    ASSERT_EQ(pnp::StartDevice(plugged_->Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, filter_), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(StartStreamingWithAFrame());
    EXPECT_EQ(worker->Processor, device_->Processor);
}

// Runs from STOP (a fresh start of capture) and from PAUSE (a resume): with no thread to be
// had, RUN fails with the status and leaves nothing running; once threads can be made the
// same pin runs.
class CaptureThreadFailure : public StreamingTest, public testing::WithParamInterface<bool> {};

TEST_P(CaptureThreadFailure, RunFailsWithTheStatusAndLaterRunsStream)
{
    bool resume = GetParam();
    if (resume) {
        ASSERT_NO_FATAL_FAILURE(StartStreamingWithAFrame());
        ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    } else {
        ASSERT_EQ(CreatePin(NegotiatedFormat(), pin_), STATUS_SUCCESS);
    }
    vf::FailAllocationsWithTag(vf::TagFromText("Thre"));
    EXPECT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    vf::ClearFaultInjection();
    EXPECT_FALSE(device_->Worker->IsRunning());
    EXPECT_EQ(device_->Worker->CaptureThread, nullptr);

    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    EXPECT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(FromStopAndFromPause, CaptureThreadFailure, testing::Bool());

}  // namespace
}  // namespace cameratest
