// Pin states over a running stream: the stream claim, pause and resume, and stopping.
#include "streaming_fixture.h"

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
        std::vector<std::wstring> links = KsEnumerateFilters(category);
        ASSERT_EQ(links.size(), 1u);
        EXPECT_EQ(links[0].substr(links[0].size() - 7), L"\\global");
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

TEST_F(StreamStates, RegionCannotChangeWhileThePinExists)
{
    StartStreaming();
    SetRegionOfInterest(device_, 0, 0, 100, 100, 0);
    EXPECT_EQ(device_->GetRoiW(), 752);
    pin_.Close();
    SetRegionOfInterest(device_, 0, 0, 100, 100, 0);
    EXPECT_EQ(device_->GetRoiW(), 100);
}

}  // namespace
}  // namespace cameratest
