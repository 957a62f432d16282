// Every fault the simulated camera and its port can show, in every phase of a stream's life,
// with several seeds: nothing crashes or hangs, every delivered picture is the scene (never a
// torn or broken frame), presentation times only grow, and once the fault is gone frames flow
// again without the camera being plugged in again.
#include "streaming_fixture.h"

#include "control/property_set.h"

#include <cstdlib>
#include <string>
#include <tuple>

namespace cameratest {
namespace {

// The frame time-out (and with it the bound on every register transfer) the matrix runs with.
constexpr LONG kFrameTimeoutMs = 40;
// How long a read waits for the pin to deliver while a fault may hold frames back.
constexpr ULONG kReadTimeoutMs = 100;
// A delivered pixel may differ from the reference picture by this much per channel.
constexpr int kPixelTolerance = 24;

struct FaultCase {
    const char* name;
    // Switches the fault on; `seed` picks how often, how long or where it strikes.
    void (*inject)(PluggedCamera& plugged, int seed);
};

const FaultCase kFaults[] = {
    {"FailedCommands",
     [](PluggedCamera& p, int seed) { p.camera->FailNextCommands(seed); }},
    {"StalledCommands", [](PluggedCamera& p, int) { p.camera->StallEndpoint(0x01); }},
    {"FailedReplies",
     [](PluggedCamera& p, int) { p.camera->FailNextIn(0x82, usbd::EndpointResult::Error); }},
    {"StalledReplies", [](PluggedCamera& p, int) { p.camera->StallEndpoint(0x82); }},
    {"LostReplies", [](PluggedCamera& p, int seed) { p.camera->LoseReplies(seed); }},
    {"LostValues",
     [](PluggedCamera& p, int seed) { p.camera->LoseReplies(seed, sim::ReplyLoss::Second); }},
    {"LateReplies",
     [](PluggedCamera& p, int seed) {
         p.camera->DelayReplies(seed, std::chrono::milliseconds(kFrameTimeoutMs + 20 * seed));
     }},
    {"FailedChunks",
     [](PluggedCamera& p, int) { p.camera->FailNextIn(0x83, usbd::EndpointResult::Error); }},
    {"StalledFrames", [](PluggedCamera& p, int) { p.camera->StallEndpoint(0x83); }},
    {"ShortFrames",
     [](PluggedCamera& p, int seed) {
         p.camera->ShortenFrames(seed, static_cast<std::size_t>(seed) * 30000);
     }},
    {"DroppedFrames", [](PluggedCamera& p, int seed) { p.camera->DropFrames(seed); }},
    {"LateFrames",
     [](PluggedCamera& p, int seed) {
         p.camera->DelayFrames(seed, std::chrono::milliseconds(kFrameTimeoutMs + 20 * seed));
     }},
    {"RefusedSubmissions",
     [](PluggedCamera& p, int seed) {
         p.port->RefuseSubmissions(STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED,
                                   static_cast<unsigned>(seed));
     }},
    {"DisabledPort", [](PluggedCamera& p, int) { p.port->Disable(); }},
};

enum class Phase { StartUp, FirstFrame, MidStream, Pause, Stop, PropertySave, ClockChange };

const char* PhaseName(Phase phase)
{
    switch (phase) {
    case Phase::StartUp: return "StartUp";
    case Phase::FirstFrame: return "FirstFrame";
    case Phase::MidStream: return "MidStream";
    case Phase::Pause: return "Pause";
    case Phase::Stop: return "Stop";
    case Phase::PropertySave: return "PropertySave";
    case Phase::ClockChange: return "ClockChange";
    }
    return "?";
}

using MatrixCell = std::tuple<int, Phase, int>;  // fault index, phase, seed

class FaultMatrix : public StreamingTest, public testing::WithParamInterface<MatrixCell> {
protected:
    void SetUp() override
    {
        StreamingTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        // Half the sensor in each direction keeps every frame quick and still two chunks long.
        SetRegionOfInterest(device_, 0, 0, 752, 480, 1);
        // Below what the property set accepts, so set on the device as the settings store does.
        device_->SetTimeout(kFrameTimeoutMs);
        StartStreaming();
        // The picture every later frame is held against.
        for (int i = 0; i < 2; ++i) {
            KSSTREAM_HEADER header{};
            ASSERT_EQ(ReadFrame(reference_, header), STATUS_SUCCESS);
            previousTime_ = header.PresentationTime.Time;
        }
    }

    NTSTATUS SetProperty(ULONG id, LONG value)
    {
        CameraPropertyValue record{};
        record.Value = value;
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
        return ksclient::PropertyRequest(filter_.Get(), CameraPropertySet, id, KSPROPERTY_TYPE_SET,
                                         tail, sizeof record, &record, sizeof record)
            .status;
    }

    LONG GetProperty(ULONG id)
    {
        CameraPropertyValue record{};
        record.Value = -1;
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
        EXPECT_EQ(ksclient::PropertyRequest(filter_.Get(), CameraPropertySet, id,
                                            KSPROPERTY_TYPE_GET, tail, sizeof record, &record,
                                            sizeof record)
                      .status,
                  STATUS_SUCCESS);
        return record.Value;
    }

    NTSTATUS SetState(KSSTATE state)
    {
        NTSTATUS status = pin_.SetState(state);
        if (state == KSSTATE_STOP) {
            previousTime_ = -1;  // the stream time starts again with the next run
        }
        return status;
    }

    // Up to `attempts` reads; every frame delivered is checked. The number delivered.
    int ReadSome(int attempts)
    {
        int delivered = 0;
        for (int i = 0; i < attempts; ++i) {
            KSSTREAM_HEADER header{};
            if (ReadFrame(frame_, header, kReadTimeoutMs) == STATUS_SUCCESS) {
                CheckDelivered(header);
                ++delivered;
            }
        }
        return delivered;
    }

    void CheckDelivered(const KSSTREAM_HEADER& header)
    {
        EXPECT_EQ(header.DataUsed, FrameBytes());
        EXPECT_GT(header.PresentationTime.Time, previousTime_) << "presentation time went back";
        previousTime_ = header.PresentationTime.Time;
        const ULONG width = device_->Geometry.OutputWidth;
        const ULONG height = device_->Geometry.OutputHeight;
        int wrong = 0;
        std::string first;
        for (ULONG y = 0; y < height; y += 3) {
            for (ULONG x = 0; x < width; x += 5) {
                const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 4;
                for (int c = 0; c < 3; ++c) {
                    if (std::abs(int(frame_[at + c]) - int(reference_[at + c])) > kPixelTolerance) {
                        if (wrong++ == 0) {
                            first = "row " + std::to_string(y) + " column " + std::to_string(x);
                        }
                        break;
                    }
                }
            }
        }
        EXPECT_EQ(wrong, 0) << "delivered picture differs from the scene, first at " << first;
    }

    void RunPhase(Phase phase, const FaultCase& fault, int seed)
    {
        switch (phase) {
        case Phase::StartUp:  // the stream starts (sensor programming) under the fault
            SetState(KSSTATE_STOP);
            fault.inject(*plugged_, seed);
            pin_.SetState(KSSTATE_RUN);
            ReadSome(2);
            break;
        case Phase::FirstFrame:
            SetState(KSSTATE_STOP);
            pin_.SetState(KSSTATE_RUN);
            fault.inject(*plugged_, seed);
            ReadSome(2);
            break;
        case Phase::MidStream:
            ReadSome(seed);
            fault.inject(*plugged_, seed);
            ReadSome(3);
            break;
        case Phase::Pause:
            fault.inject(*plugged_, seed);
            pin_.SetState(KSSTATE_PAUSE);
            pin_.SetState(KSSTATE_RUN);
            ReadSome(2);
            break;
        case Phase::Stop:
            fault.inject(*plugged_, seed);
            SetState(KSSTATE_STOP);
            pin_.SetState(KSSTATE_RUN);
            ReadSome(2);
            break;
        case Phase::PropertySave: {
            fault.inject(*plugged_, seed);
            // The values the stream already has, so the picture stays the reference.
            SetProperty(CameraProperty::Exposure, 480);
            SetProperty(CameraProperty::FlipH, 0);
            SetProperty(CameraProperty::AGC, 0);
            // Closing a filter saves the settings, reading back what the camera holds.
            ksclient::Filter second;
            if (ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, second) == STATUS_SUCCESS) {
                second.Close();
            }
            ReadSome(2);
            break;
        }
        case Phase::ClockChange:
            fault.inject(*plugged_, seed);
            SetProperty(CameraProperty::Clock, seed % 2);
            ReadSome(2);
            break;
        }
    }

    std::vector<std::uint8_t> reference_;
    std::vector<std::uint8_t> frame_;
    LONGLONG previousTime_ = -1;
};

TEST_P(FaultMatrix, NoBrokenFrameAndFramesFlowOnceTheFaultIsGone)
{
    const auto [faultIndex, phase, seed] = GetParam();
    RunPhase(phase, kFaults[faultIndex], seed);
    ASSERT_FALSE(HasFatalFailure());

    plugged_->camera->ClearFaults();
    plugged_->port->AcceptSubmissions();
    KSSTATE state = KSSTATE_STOP;
    pin_.GetState(state);
    if (state != KSSTATE_RUN) {
        ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    // New frames come, are converted and delivered, and they are the scene.
    const LONG converted = device_->Worker->ReadFramesConverted();
    int delivered = 0;
    for (int attempt = 0; attempt < 30 && (delivered < 3 ||
                                           device_->Worker->ReadFramesConverted() < converted + 2);
         ++attempt) {
        delivered += ReadSome(1);
    }
    EXPECT_GE(delivered, 3);
    EXPECT_GE(device_->Worker->ReadFramesConverted(), converted + 2) << "no new frames";

    // Register reads answer with what the camera holds (a read that failed would give the
    // cached value, one that took another read's reply some other value). The fault is gone,
    // so the reads get the usual time-out: a busy machine must not turn a slow reply into a
    // failed read.
    device_->SetTimeout(1000);
    for (std::uint16_t exposure : {481, 482, 480}) {
        plugged_->camera->PokeSensorRegister(0x0B, exposure);
        EXPECT_EQ(GetProperty(CameraProperty::Exposure), exposure);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllFaults, FaultMatrix,
    testing::Combine(testing::Range(0, static_cast<int>(std::size(kFaults))),
                     testing::Values(Phase::StartUp, Phase::FirstFrame, Phase::MidStream,
                                     Phase::Pause, Phase::Stop, Phase::PropertySave,
                                     Phase::ClockChange),
                     testing::Values(1, 2, 3)),
    [](const testing::TestParamInfo<MatrixCell>& cell) {
        return std::string(kFaults[std::get<0>(cell.param)].name) + "_" +
               PhaseName(std::get<1>(cell.param)) + "_" + std::to_string(std::get<2>(cell.param));
    });

}  // namespace
}  // namespace cameratest
