// The simulated camera: a USB function (bridge firmware, image sensor and the scene in front
// of it) that plugs into a port of the host stack. Tests and tools drive it through the host
// stack like a real device and use the rest of this interface to look inside, to change the
// scene, to fire the external trigger and to switch faults on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <usbd/host/usb_function.h>

#include "sim/auto_exposure.h"
#include "sim/descriptors.h"
#include "sim/faults.h"
#include "sim/firmware.h"
#include "sim/frame_builder.h"
#include "sim/packet_log.h"
#include "sim/scene.h"
#include "sim/scheduler.h"
#include "sim/statistics.h"

namespace sim {

enum class Timing {
    AsFastAsPossible,  // a requested frame is sent at once
    RealTime,          // frames come at the sensor's frame rate (clock, window, blanking, exposure)
};

struct CameraOptions {
    std::uint16_t chipVersion = kDefaultChipVersion;
    Scene scene = Scene::ColourChart();
    Timing timing = Timing::AsFastAsPossible;
    int noiseAmplitude = 0;  // 0: no noise; else uniform noise of this amplitude per pixel
    std::uint32_t noiseSeed = 1;
    int brightnessTarget = kDefaultBrightnessTarget;  // mean level automatic exposure aims at
    std::uint16_t vendorId = kVendorId;
    std::uint16_t productId = kProductId;
    // A device that answers with other configuration descriptor bytes than its own: request k
    // (from 0) of configuration index 0 gets entry k, the last entry repeats. Empty: the
    // camera's own descriptor.
    std::vector<std::vector<std::uint8_t>> configurationDescriptors;
};

// Rewrites the two replies of a read before they are sent (a device answering with any bytes).
using ReplyRewriter = std::function<void(const Packet& command, Packet& first, Packet& second)>;

class Camera : public usbd::UsbFunction {
public:
    explicit Camera(CameraOptions options = {});
    ~Camera() override;

    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // usbd::UsbFunction
    std::vector<std::uint8_t> DeviceDescriptor() const override;
    std::vector<std::uint8_t> ConfigurationDescriptor(std::uint8_t index) const override;
    bool SetConfiguration(std::uint8_t configurationValue) override;
    usbd::EndpointResult OutTransfer(std::uint8_t endpointAddress, const std::uint8_t* data,
                                     std::size_t length) override;
    void ClearHalt(std::uint8_t endpointAddress) override;
    void PortReset() override;
    void Attached(usbd::UsbPort* port) override;
    void Detached() override;

    // The scene the sensor looks at from the next frame on.
    void SetScene(Scene scene);

    // Fires the external trigger input. In snapshot mode with the bridge forwarding the
    // trigger, it exposes one frame: sent to a waiting frame request, or held by the bridge for
    // the next one. Otherwise the pulse is ignored.
    void Trigger();

    // Looking inside (no bus traffic).
    std::uint16_t PeekSensorRegister(std::uint8_t reg) const;
    void PokeSensorRegister(std::uint8_t reg, std::uint16_t value);
    std::uint8_t PeekBridgeRegister(std::uint8_t reg) const;
    std::uint8_t PeekDataStore(std::uint16_t address) const;
    void PokeDataStore(std::uint16_t address, std::uint8_t value);
    std::uint32_t TransferSize() const;
    SensorWindow Window() const;
    FrameState FrameSequenceState() const;
    bool Configured() const;
    bool IsAttached() const;
    // The time one frame takes with the current registers (also in AsFastAsPossible mode).
    std::chrono::nanoseconds FrameTime() const;
    // The last frame the camera built (pixels only, before filler and faults).
    RawFrame LastFrame() const;

    PacketLog& Log() { return log_; }
    const PacketLog& Log() const { return log_; }
    CameraStatistics Statistics() const;

    // Blocks until no timed delivery (real-time frame, late reply or frame, removal) is pending.
    void WaitIdle();

    // Faults.
    void FailNextCommands(int count, usbd::EndpointResult result = usbd::EndpointResult::Error);
    // Stalls an endpoint: the command endpoint refuses packets until the host clears the halt;
    // an IN endpoint answers its next transfer with a stall (the host keeps it halted).
    void StallEndpoint(std::uint8_t endpointAddress);
    // The next transfer on an IN endpoint fails with a stall or a bus error.
    void FailNextIn(std::uint8_t endpointAddress, usbd::EndpointResult result);
    void LoseReplies(int reads, ReplyLoss loss = ReplyLoss::Both);
    void DelayReplies(int reads, std::chrono::milliseconds delay);
    void DropFrames(int count);
    void ShortenFrames(int count, std::size_t bytes);
    void DelayFrames(int count, std::chrono::milliseconds delay);
    // Cuts the next frame after `bytes` and runs `unplug` on the camera's thread.
    void RemoveDuringNextFrame(std::size_t bytes, std::function<void()> unplug);
    // Every read's replies pass through `rewrite` (called with the camera's lock held; it must
    // not call back into the camera); null restores the firmware's own replies.
    void RewriteReplies(ReplyRewriter rewrite);
    // After `commands` more command packets the camera takes no further command and `unplug`
    // runs on the camera's thread (it is expected to take the camera off its port).
    void RemoveAfterCommands(int commands, std::function<void()> unplug);
    void ClearFaults();

private:
    struct PortAction {
        enum class Kind { Send, FailNext, Flush };
        Kind kind = Kind::Send;
        std::uint8_t endpoint = 0;
        usbd::InMessage message;
        usbd::EndpointResult result = usbd::EndpointResult::Ok;
    };

    void Post(PortAction action);
    void Drain();
    // Blocks until every posted port call has been made (by whichever thread drains).
    void WaitUntilDrained();
    void HandleCommandLocked(const Packet& packet);
    void SendRepliesLocked(const CommandOutcome& outcome);
    void PostRepliesLocked(const std::vector<Packet>& replies);
    void FrameRequestedLocked();
    void ScheduleFrameLocked(Scheduler::Clock::time_point due);
    Scheduler::Clock::time_point NextFrameBoundaryLocked();
    void ProduceFrameLocked();
    void RestartStreamLocked();
    void ResetLocked();
    bool RealTime() const { return options_.timing == Timing::RealTime; }

    CameraOptions options_;
    const std::vector<std::uint8_t> deviceDescriptor_;
    const std::vector<std::uint8_t> configurationDescriptor_;
    mutable std::atomic<std::size_t> configurationRequests_{0};

    mutable std::mutex mutex_;
    Firmware firmware_;
    Scene scene_;
    NoiseSource noise_;
    // Shared with the frame messages still queued at the port, so never changed in place.
    std::shared_ptr<const RawFrame> lastFrame_ = std::make_shared<const RawFrame>();
    // What the last frame was built from.
    struct FrameInputs {
        SensorWindow window;
        std::uint16_t exposure = 0;
        std::uint16_t gain = 0;
        std::uint64_t sceneVersion = 0;
        bool operator==(const FrameInputs&) const = default;
    };
    std::optional<FrameInputs> lastInputs_;
    std::uint64_t sceneVersion_ = 0;
    usbd::UsbPort* port_ = nullptr;
    bool configured_ = false;
    FaultPlan faults_;
    ReplyRewriter rewriteReplies_;
    CameraStatistics stats_;
    std::uint32_t frameNumber_ = 0;
    // The removal hook of a cut frame, run by the scheduler's thread once the cut frame is out.
    std::function<void()> pendingUnplug_;

    // Trigger mode: a request waiting for the trigger, and a triggered frame the bridge holds.
    bool requestAwaitsTrigger_ = false;
    bool triggeredFrameHeld_ = false;

    // Real-time frame boundaries: anchor + k * period.
    std::optional<Scheduler::Clock::time_point> anchor_;
    std::chrono::nanoseconds anchorPeriod_{0};
    Scheduler::Clock::time_point lastDue_{};

    // Port calls leave through one ordered outbox, never while mutex_ is held.
    std::deque<PortAction> outbox_;
    bool draining_ = false;
    std::thread::id drainer_;
    // Actions ever posted and ever sent (or dropped on detach), to tell when a caller's are out.
    std::uint64_t actionsPosted_ = 0;
    std::uint64_t actionsSent_ = 0;
    std::condition_variable drained_;

    PacketLog log_;
    Scheduler scheduler_;
};

}  // namespace sim
