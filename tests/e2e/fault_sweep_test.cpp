// Sweeps over a camera session as an application drives it (plug-in, filter, pin, run, frames,
// a property set with its save, a stop of the device, unplug):
// - every allocation of each phase fails in turn, exactly one per round: the phase fails
//   cleanly or absorbs the failure, nothing leaks, and once the fault is cleared the same
//   camera (a new one only after a failed plug-in) delivers a frame;
// - the camera is pulled out after each command packet of the session, and in the middle of a
//   frame, while handles are being closed on another thread: nothing hangs, nothing leaks.
#include "driver/camera_fixture.h"

#include "control/property_set.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace cameratest {
namespace {

enum class Phase { PlugIn, FilterOpen, PinCreation, Run, Streaming, PropertySave, Stop, Unplug };

const char* PhaseName(Phase phase)
{
    switch (phase) {
    case Phase::PlugIn: return "PlugIn";
    case Phase::FilterOpen: return "FilterOpen";
    case Phase::PinCreation: return "PinCreation";
    case Phase::Run: return "Run";
    case Phase::Streaming: return "Streaming";
    case Phase::PropertySave: return "PropertySave";
    case Phase::Stop: return "Stop";
    case Phase::Unplug: return "Unplug";
    }
    return "?";
}

// One camera session, step by step; every step reports its status instead of asserting.
class SessionTest : public CameraTest {
protected:
    void TearDown() override
    {
        EndSession();
        CameraTest::TearDown();
    }

    NTSTATUS PlugIn(const std::function<void(sim::Camera&)>& beforeAttach = {})
    {
        plugged_ = &Plug({}, beforeAttach);
        if (plugged_->port == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        NTSTATUS status = plugged_->port->ReportStatus();
        return NT_SUCCESS(status) && plugged_->Device() == nullptr ? STATUS_NO_SUCH_DEVICE
                                                                   : status;
    }

    NTSTATUS OpenFilter() { return ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, filter_); }

    // Data ranges, intersection and pin creation, as an application negotiates the format.
    NTSTATUS CreatePin()
    {
        std::vector<std::vector<std::uint8_t>> ranges;
        NTSTATUS status = filter_.DataRanges(0, ranges);
        if (!NT_SUCCESS(status) || ranges.empty()) {
            return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
        }
        std::vector<std::uint8_t> format;
        status = filter_.Intersect(0, ranges[0].data(), static_cast<ULONG>(ranges[0].size()),
                                   format);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return filter_.CreatePin(0, format.data(), static_cast<ULONG>(format.size()), pin_);
    }

    NTSTATUS Run() { return pin_.SetState(KSSTATE_RUN); }

    NTSTATUS ReadOneFrame(ULONG timeoutMs = 2000)
    {
        frame_.resize(752 * 480 * 4);
        KSSTREAM_HEADER header{};
        return pin_.ReadFrame(frame_, header, timeoutMs);
    }

    // A property set through a second filter, whose close saves the settings.
    NTSTATUS SetPropertyAndSave()
    {
        ksclient::Filter second;
        NTSTATUS status = ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, second);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // The value record travels as the data and, past its header, in the property buffer.
        CameraPropertyValue record{};
        record.Header.Set = CameraPropertySet;
        record.Header.Id = CameraProperty::Exposure;
        record.Header.Flags = KSPROPERTY_TYPE_SET;
        record.Value = 300;
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&record) + sizeof(KSPROPERTY);
        status = ksclient::SetProperty(second.Get(), CameraPropertySet, CameraProperty::Exposure,
                                       &record, sizeof record, tail,
                                       sizeof record - sizeof(KSPROPERTY))
                     .status;
        second.Close();
        return status;
    }

    NTSTATUS StopDevice() { return pnp::StopDevice(plugged_->Pdo()); }

    // Saves a small window as the camera's setting, so that every later plug-in of the camera
    // streams small frames: the sweeps run many sessions, and the picture is not their concern.
    void SaveASmallWindow()
    {
        ASSERT_EQ(PlugIn(), STATUS_SUCCESS);
        ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
        CameraWindowRequest window{};
        window.Header.Set = CameraPropertySet;
        window.Header.Id = CameraProperty::Window;
        window.Header.Flags = KSPROPERTY_TYPE_SET;
        window.RoiW = 128;
        window.RoiH = 96;
        const auto* tail = reinterpret_cast<const std::uint8_t*>(&window) + sizeof(KSPROPERTY);
        ASSERT_EQ(ksclient::SetProperty(filter_.Get(), CameraPropertySet, CameraProperty::Window,
                                        &window, sizeof window, tail,
                                        sizeof window - sizeof(KSPROPERTY))
                      .status,
                  STATUS_SUCCESS);
        EndSession();
        ASSERT_EQ(PlugIn(), STATUS_SUCCESS);
        ASSERT_EQ(plugged_->Device()->Geometry.FrameWidth, 128u);
        EndSession();
    }

    void EndSession()
    {
        pin_.Close();
        filter_.Close();
        UnplugAll();
        plugged_ = nullptr;
    }

    PluggedCamera* plugged_ = nullptr;
    ksclient::Filter filter_;
    ksclient::Pin pin_;
    std::vector<std::uint8_t> frame_;
};

class AllocationSweep : public SessionTest, public testing::WithParamInterface<Phase> {
protected:
    NTSTATUS RunPhase(Phase phase)
    {
        switch (phase) {
        case Phase::PlugIn: return PlugIn();
        case Phase::FilterOpen: return OpenFilter();
        case Phase::PinCreation: return CreatePin();
        case Phase::Run: return Run();
        case Phase::Streaming: return ReadOneFrame();
        case Phase::PropertySave: return SetPropertyAndSave();
        case Phase::Stop: return StopDevice();
        case Phase::Unplug: plugged_->port->Unplug(); return STATUS_SUCCESS;
        }
        return STATUS_UNSUCCESSFUL;
    }

    // The session up to the phase, without faults.
    void SetUpTo(Phase phase)
    {
        if (phase > Phase::PlugIn) {
            ASSERT_EQ(PlugIn(), STATUS_SUCCESS);
        }
        if (phase > Phase::FilterOpen) {
            ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
        }
        if (phase > Phase::PinCreation) {
            ASSERT_EQ(CreatePin(), STATUS_SUCCESS);
        }
        if (phase > Phase::Run) {
            ASSERT_EQ(Run(), STATUS_SUCCESS);
        }
        if (phase > Phase::Streaming) {
            ASSERT_EQ(ReadOneFrame(), STATUS_SUCCESS);
        }
    }

    // With the fault cleared: what the phase left undone is done again (a new plug only when
    // the camera is not there), then one frame must come.
    void RecoverAndStream(Phase phase, NTSTATUS phaseStatus)
    {
        if (phase == Phase::PlugIn && !NT_SUCCESS(phaseStatus)) {
            EXPECT_FALSE(pnp::IsDriverLoaded(kServiceName));
            UnplugAll();
            ASSERT_EQ(PlugIn(), STATUS_SUCCESS);
        }
        if (phase == Phase::Unplug) {
            // A removal the PnP manager could not finish is finished by the next one.
            if (pnp::IsDriverLoaded(kServiceName)) {
                plugged_->port->Unplug();
            }
            ASSERT_FALSE(pnp::IsDriverLoaded(kServiceName));
            pin_.Close();
            filter_.Close();
            UnplugAll();
            ASSERT_EQ(PlugIn(), STATUS_SUCCESS);
        }
        ASSERT_NE(plugged_->Device(), nullptr);
        if (phase == Phase::Stop && NT_SUCCESS(phaseStatus)) {
            // The stop closed the filter and its pin; the application opens them again.
            pin_.Close();
            filter_.Close();
            ASSERT_EQ(pnp::StartDevice(plugged_->Pdo()), STATUS_SUCCESS);
        }
        if (!filter_) {
            ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
        }
        if (!pin_) {
            ASSERT_EQ(CreatePin(), STATUS_SUCCESS);
        }
        ASSERT_EQ(Run(), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        for (int attempt = 0; attempt < 3 && status != STATUS_SUCCESS; ++attempt) {
            status = ReadOneFrame();
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    // One round: the nth allocation of the phase fails (none with 0). Returns the allocation
    // calls the phase made and whether the failure was injected.
    void Round(Phase phase, std::uint64_t nth, std::uint64_t& calls, bool& injected,
               NTSTATUS& status)
    {
        std::uint64_t epoch = vf::MarkPoolEpoch();
        ASSERT_NO_FATAL_FAILURE(SetUpTo(phase));
        // Frames are read on the capture thread; every other phase is the caller's work (the
        // capture thread's allocations meanwhile are the streaming phase's).
        bool callerOnly = phase != Phase::Streaming;
        std::uint64_t injectedBefore = vf::InjectedFailureCount();
        std::uint64_t callsBefore = vf::AllocationCalls(callerOnly);
        vf::FailOneAllocation(nth, callerOnly);
        status = RunPhase(phase);
        calls = vf::AllocationCalls(callerOnly) - callsBefore;
        vf::ClearFaultInjection();
        injected = vf::InjectedFailureCount() != injectedBefore;
        ASSERT_NO_FATAL_FAILURE(RecoverAndStream(phase, status));
        EndSession();
        vf::WaitForSystemThreads();
        std::string when = std::string("allocation sweep round of ") + PhaseName(phase);
        vf::CheckForLeaks(when.c_str(), epoch);
    }
};

TEST_P(AllocationSweep, EachAllocationFailsCleanlyAndTheCameraStreamsAfterwards)
{
    ASSERT_NO_FATAL_FAILURE(SaveASmallWindow());
    Phase phase = GetParam();
    std::uint64_t sites = 0;
    bool injected = false;
    NTSTATUS status = STATUS_SUCCESS;
    ASSERT_NO_FATAL_FAILURE(Round(phase, 0, sites, injected, status));
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_GT(sites, 0u);
    // The capture thread reads on while the client waits for its frame, the longer the slower
    // the build: the streaming phase sweeps about one frame's worth of its allocations.
    constexpr std::uint64_t kStreamingSites = 40;
    if (phase == Phase::Streaming && sites > kStreamingSites) {
        sites = kStreamingSites;
    }
    std::uint64_t failedPhases = 0;
    std::uint64_t covered = 0;
    for (std::uint64_t nth = 1; nth <= sites; ++nth) {
        SCOPED_TRACE(testing::Message() << PhaseName(phase) << " allocation " << nth);
        std::uint64_t calls = 0;
        ASSERT_NO_FATAL_FAILURE(Round(phase, nth, calls, injected, status));
        covered += injected ? 1 : 0;
        failedPhases += injected && !NT_SUCCESS(status) ? 1 : 0;
    }
    RecordProperty("sites", static_cast<int>(covered));
    std::printf("[ sweep    ] %s: %llu allocation sites failed in turn, %llu of them failed "
                "the phase\n",
                PhaseName(phase), static_cast<unsigned long long>(covered),
                static_cast<unsigned long long>(failedPhases));
}

INSTANTIATE_TEST_SUITE_P(Phases, AllocationSweep,
                         testing::Values(Phase::PlugIn, Phase::FilterOpen, Phase::PinCreation,
                                         Phase::Run, Phase::Streaming, Phase::PropertySave,
                                         Phase::Stop, Phase::Unplug),
                         [](const testing::TestParamInfo<Phase>& row) {
                             return std::string(PhaseName(row.param));
                         });

// The camera goes away after the nth command packet of a session: plug-in (start-up and the
// settings load), filter, pin, run (the stream start) and frames (their brackets), then, while
// another thread closes the pin and the filter, a property set through a second filter and its
// close with the settings save.
class RemovalSweep : public SessionTest {
protected:
    // Waits (at most ten seconds) for a removal running on the camera's thread to finish.
    static bool WaitFor(const std::atomic<bool>& done)
    {
        for (int wait = 0; wait < 10'000 && !done; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done;
    }

    // Runs the session with the removal armed after `commands` packets (never with 0); returns
    // the command packets the camera took.
    std::size_t Session(int commands)
    {
        std::uint64_t epoch = vf::MarkPoolEpoch();
        std::atomic<usbd::HubPort*> port{nullptr};
        std::atomic<bool> removed{false};
        auto unplug = [&port, &removed] {
            // The plug-in may still be under way: its start finishes before the removal.
            usbd::HubPort* target = nullptr;
            for (int wait = 0; wait < 10'000 && (target = port.load()) == nullptr; ++wait) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (target != nullptr) {
                target->Unplug();
            }
            removed = true;
        };
        PlugIn([&](sim::Camera& camera) {
            if (commands > 0) {
                camera.RemoveAfterCommands(commands, unplug);
            }
        });
        sim::Camera& camera = *plugged_->camera;
        port = plugged_->port.get();
        if (plugged_->Device() != nullptr && NT_SUCCESS(OpenFilter()) && NT_SUCCESS(CreatePin()) &&
            NT_SUCCESS(Run())) {
            ReadOneFrame(500);
        }
        std::thread closer([this] {
            pin_.Close();
            filter_.Close();
        });
        SetPropertyAndSave();
        closer.join();
        camera.ClearFaults();
        std::size_t taken = camera.Log().Commands().size();
        // Once the camera took its last command the removal runs; the session ends after it.
        if (commands > 0 && taken >= static_cast<std::size_t>(commands)) {
            EXPECT_TRUE(WaitFor(removed));
            EXPECT_FALSE(pnp::IsDriverLoaded(kServiceName));
        }
        camera.WaitIdle();
        EndSession();
        vf::WaitForSystemThreads();
        vf::CheckForLeaks("removal sweep round", epoch);
        return taken;
    }
};

TEST_F(RemovalSweep, RemovalAfterEachCommandPacketWhileHandlesCloseLeavesNothingBehind)
{
    // The start-up, the stream start and the first frames; frames go on sending their packets
    // as long as the session streams, the more the slower the build, and those after the first
    // few add nothing new.
    constexpr std::size_t kMostPackets = 150;
    ASSERT_NO_FATAL_FAILURE(SaveASmallWindow());
    std::size_t packets = std::min(Session(0), kMostPackets);
    ASSERT_GT(packets, 30u);
    for (std::size_t after = 1; after <= packets; ++after) {
        SCOPED_TRACE(testing::Message() << "removal after command " << after);
        Session(static_cast<int>(after));
        if (HasFatalFailure()) {
            return;
        }
    }
    std::printf("[ sweep    ] removal after each of %zu command packets\n", packets);
}

TEST_F(RemovalSweep, RemovalInTheMiddleOfAFrameWhileHandlesCloseLeavesNothingBehind)
{
    for (std::size_t bytes : {std::size_t{0}, std::size_t{512}, std::size_t{4'096},
                              std::size_t{128 * 96 - 1}}) {
        SCOPED_TRACE(testing::Message() << "removal after " << bytes << " bytes of a frame");
        if (bytes == 0) {
            ASSERT_NO_FATAL_FAILURE(SaveASmallWindow());
        }
        std::uint64_t epoch = vf::MarkPoolEpoch();
        ASSERT_EQ(PlugIn(), STATUS_SUCCESS);
        ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
        ASSERT_EQ(CreatePin(), STATUS_SUCCESS);
        ASSERT_EQ(Run(), STATUS_SUCCESS);
        ASSERT_EQ(ReadOneFrame(), STATUS_SUCCESS);
        sim::Camera& camera = *plugged_->camera;
        usbd::HubPort* port = plugged_->port.get();
        std::atomic<bool> removed{false};
        camera.RemoveDuringNextFrame(bytes, [port, &removed] {
            port->Unplug();
            removed = true;
        });
        std::thread closer([this] {
            ReadOneFrame(500);
            pin_.Close();
        });
        SetPropertyAndSave();
        closer.join();
        filter_.Close();
        // A pin closed before the next frame was asked for leaves the removal to be done here.
        if (camera.Statistics().framesCutByRemoval != 0) {
            EXPECT_TRUE(WaitFor(removed));
        } else {
            camera.ClearFaults();
            port->Unplug();
        }
        camera.WaitIdle();
        EXPECT_FALSE(pnp::IsDriverLoaded(kServiceName));
        EndSession();
        vf::WaitForSystemThreads();
        vf::CheckForLeaks("removal in a frame", epoch);
    }
}

}  // namespace
}  // namespace cameratest
