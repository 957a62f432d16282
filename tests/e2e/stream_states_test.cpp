// Pin states over a running stream: the stream claim, pause and resume, and stopping.
#include "streaming_fixture.h"

#include "camera_control.h"

namespace cameratest {
namespace {

using StreamStates = StreamingTest;

std::size_t StreamPreparations(const PluggedCamera& plugged)
{
    return plugged.camera->Log().Commands(sim::opcode::kStreamPrepare).size();
}

TEST_F(StreamStates, SecondPinCannotClaimTheStreamAndTheFirstGoesOn)
{
    StartStreaming();
    ksclient::Filter second;
    ASSERT_EQ(ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, second), STATUS_SUCCESS);
    ksclient::Pin other;
    std::vector<std::uint8_t> format = NegotiatedFormat();
    ASSERT_EQ(second.CreatePin(0, format.data(), static_cast<ULONG>(format.size()), other),
              STATUS_SUCCESS);
    EXPECT_EQ(other.SetState(KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    EXPECT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    other.Close();
    second.Close();
}

TEST_F(StreamStates, FilterOffersOnePinInstance)
{
    ASSERT_EQ(CreatePin(NegotiatedFormat(), pin_), STATUS_SUCCESS);
    ksclient::Pin second;
    EXPECT_FALSE(NT_SUCCESS(CreatePin(NegotiatedFormat(), second)));
    KSPIN_CINSTANCES instances{};
    ASSERT_EQ(filter_.PinInstances(0, instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 1u);
}

TEST_F(StreamStates, FilterIsRegisteredUnderBothCategoriesWithItsReferenceString)
{
    for (const GUID& category : {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE}) {
        std::vector<rtl::WideString> links = KsEnumerateFilters(category);
        ASSERT_EQ(links.size(), 1u);
        EXPECT_EQ(links[0].substr(links[0].size() - 7), rtl::WideString(L"\\global"));
    }
}

TEST_F(StreamStates, ResumingFromPauseDoesNotReprogramTheSensorButAcquireToRunDoes)
{
    StartStreaming();
    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    std::size_t prepared = StreamPreparations(*plugged_);

    ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    EXPECT_EQ(StreamPreparations(*plugged_), prepared);

    ASSERT_EQ(pin_.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    EXPECT_EQ(StreamPreparations(*plugged_), prepared + 1);
}

TEST_F(StreamStates, PausingKeepsThePinAndItsBuffers)
{
    StartStreaming();
    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    UCHAR* raw = device_->Worker->RawBuffer[0];
    ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(device_->Worker->WorkerState, WorkerPaused);
    EXPECT_EQ(device_->Worker->CaptureThread, nullptr);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(device_->Worker->RawBuffer[0], raw);
    EXPECT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
}

TEST_F(StreamStates, PausingDropsFramesNotYetConverted)
{
    ASSERT_NO_FATAL_FAILURE(StartStreamingWithAFrame());
    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    CaptureWorker& worker = *device_->Worker;
    // The camera runs free, so frames read but not yet converted are usually waiting when
    // the pause comes; none of them survives it.
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        LONG converted = worker.ReadFramesConverted();
        EXPECT_NE(worker.RawState[0], RawReady);
        EXPECT_NE(worker.RawState[1], RawReady);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(worker.ReadFramesConverted(), converted) << "converted while paused";
        ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    }
}

TEST_F(StreamStates, StopReturnsOnlyAfterTheConversionInProgress)
{
    ASSERT_NO_FATAL_FAILURE(StartStreamingWithAFrame());
    CaptureWorker& worker = *device_->Worker;
    // The pin's processing thread converts nearly all the time while the camera runs free, so
    // a stop usually comes while a conversion is in progress. The device's stop is called
    // directly, as the pin's state handler calls it, so that only the driver's own hand-shake
    // is between the stop and the pass. A conversion still running after the stop returned
    // would count itself and write the image afterwards.
    for (int round = 0; round < 20; ++round) {
        LONG before = worker.ReadFramesConverted();
        for (int wait = 0; wait < 2000 && worker.ReadFramesConverted() < before + 2; ++wait) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        ASSERT_EQ(device_->StopCapture(), STATUS_SUCCESS);
        ASSERT_NE(worker.OutputBuffer, nullptr);
        std::vector<std::uint8_t> image(worker.OutputBuffer,
                                        worker.OutputBuffer + worker.OutputBufferSize);
        LONG converted = worker.ReadFramesConverted();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(worker.ReadFramesConverted(), converted) << "converted after the stop";
        EXPECT_EQ(std::memcmp(image.data(), worker.OutputBuffer, image.size()), 0)
            << "the image was written after the stop returned";
        ASSERT_EQ(device_->StartCapture(), STATUS_SUCCESS);
    }
}

TEST_F(StreamStates, RegionCannotChangeWhileThePinExists)
{
    StartStreaming();
    SetRegionOfInterest(device_, 0, 0, 100, 100, 0);
    EXPECT_EQ(device_->GetRoiW(), 752);
    pin_.Close();
    SetRegionOfInterest(device_, 0, 0, 100, 100, 0);
    EXPECT_EQ(device_->GetRoiW(), 100);
}

TEST_F(StreamStates, AnotherFiltersPinLeavesWindowAndClockFrozenUnderTheStream)
{
    SetRegionOfInterest(device_, 0, 0, 64, 64, 0);
    StartStreamingWithAFrame();
    camctl::CameraControl second;
    ASSERT_EQ(second.Open(KsEnumerateFilters(KSCATEGORY_CAPTURE).at(0)), STATUS_SUCCESS);
    {
        ksclient::Pin other;
        std::vector<std::uint8_t> format = NegotiatedFormat();
        ASSERT_EQ(second.Filter().CreatePin(0, format.data(), static_cast<ULONG>(format.size()),
                                            other),
                  STATUS_SUCCESS);
        ASSERT_EQ(other.Close(), STATUS_SUCCESS);
    }
    LONG pinOpen = 0;
    ASSERT_EQ(second.Get(CameraProperty::PinOpen, pinOpen), STATUS_SUCCESS);
    EXPECT_EQ(pinOpen, 1) << "the first filter's pin still exists";

    std::size_t prepared = StreamPreparations(*plugged_);
    LONG clock = device_->Settings.Clock;
    ASSERT_EQ(second.SetWindow({0, 0, 0, 752, 480}), STATUS_SUCCESS);
    ASSERT_EQ(second.Set(CameraProperty::Clock, clock == 1 ? 2 : 1), STATUS_SUCCESS);
    camctl::Window window;
    ASSERT_EQ(second.GetWindow(window), STATUS_SUCCESS);
    ASSERT_EQ(window.width, 64);
    ASSERT_EQ(window.height, 64);
    ASSERT_EQ(device_->Settings.Clock, clock);
    ASSERT_EQ(StreamPreparations(*plugged_), prepared) << "the sensor was reprogrammed";

    std::vector<std::uint8_t> frame;
    KSSTREAM_HEADER header{};
    ASSERT_EQ(ReadFrame(frame, header), STATUS_SUCCESS);
    EXPECT_EQ(header.DataUsed, 64u * 64u * 4u);
    second.Close();
    pin_.Close();
    ASSERT_EQ(device_->PinOpen, 0);
    SetRegionOfInterest(device_, 0, 0, 752, 480, 0);
    EXPECT_EQ(device_->GetRoiW(), 752);
}

}  // namespace
}  // namespace cameratest
