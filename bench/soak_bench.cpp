// Soak run: thousands of random pin state transitions on one simulated camera while other
// threads send property traffic through filters of their own, with the camera unplugged and
// plugged in again at random (surprise removal and orderly removal). At checkpoints, with the
// traffic paused, it samples the pool bytes, pool blocks, handles and system threads with the camera removed in order (so nothing
// allocated for it may remain), then plugs it in again; a soak passes when every checkpoint
// shows the same figures.
//
//   soak_bench [transitions=10000] [seed=1] [property-threads=2]
#include <ks/user/ks_client.h>
#include <ntoskrnl/host/pnp.h>
#include <ntoskrnl/host/registry.h>
#include <ntoskrnl/host/verifier.h>
#include <usbd/host/hub.h>

#include "control/property_set.h"
#include "sim/camera.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <vector>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

struct Sample {
    unsigned transition = 0;
    std::size_t poolBytes = 0;
    std::size_t poolBlocks = 0;
    std::size_t handles = 0;
    std::size_t threads = 0;
};

Sample TakeSample(unsigned transition)
{
    Sample sample;
    sample.transition = transition;
    for (const vf::PoolBlock& block : vf::OutstandingBlocks()) {
        sample.poolBytes += block.size;
        ++sample.poolBlocks;
    }
    sample.handles = vf::OpenHandleCount();
    sample.threads = vf::RunningSystemThreads();
    return sample;
}

NTSTATUS SetValue(HANDLE filter, ULONG id, LONG value)
{
    CameraPropertyValue record{};
    record.Value = value;
    return ksclient::SetProperty(filter, CameraPropertySet, id, &record, sizeof record).status;
}

NTSTATUS SetWindow(HANDLE filter, ULONG subSample, LONG x, LONG y, LONG width, LONG height)
{
    CameraWindowRequest request{};
    request.SubSample = subSample;
    request.RoiX = x;
    request.RoiY = y;
    request.RoiW = width;
    request.RoiH = height;
    return ksclient::SetProperty(filter, CameraPropertySet, CameraProperty::Window, &request,
                                 sizeof request)
        .status;
}

// Property traffic from one application thread: random settings (window and clock included)
// and reads, on a filter handle of its own that it reopens after a removal.
class PropertyTraffic {
public:
    explicit PropertyTraffic(std::uint32_t seed) : random_(seed) {}

    void Run(const std::atomic<bool>& stop, const std::atomic<bool>& pause,
             std::atomic<int>& idle)
    {
        ksclient::Filter filter;
        bool counted = false;
        while (!stop.load()) {
            if (pause.load()) {
                filter.Close();
                if (!counted) {
                    idle.fetch_add(1);
                    counted = true;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            if (counted) {
                idle.fetch_sub(1);
                counted = false;
            }
            if (!filter && ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, filter) != STATUS_SUCCESS) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                continue;
            }
            OneRequest(filter.Get());
            ++requests_;
            if (random_() % 64 == 0) {
                filter.Close();
            }
        }
        filter.Close();
        if (!counted) {
            idle.fetch_add(1);
        }
    }

    unsigned long Requests() const { return requests_; }

private:
    void OneRequest(HANDLE filter)
    {
        static constexpr ULONG kSettable[] = {
            CameraProperty::Exposure,   CameraProperty::GlobalGain, CameraProperty::FlipH,
            CameraProperty::FlipV,      CameraProperty::ColorEnable, CameraProperty::WhiteBalance,
            CameraProperty::RedGain,    CameraProperty::GreenGain,  CameraProperty::BlueGain,
            CameraProperty::Brightness, CameraProperty::Contrast,   CameraProperty::Saturation,
            CameraProperty::Hue,        CameraProperty::AGC,        CameraProperty::AEC,
            CameraProperty::ColorCorrection,
        };
        switch (random_() % 8) {
        case 0: {
            CameraPropertyValue record{};
            ksclient::GetProperty(filter, CameraPropertySet, random_() % CameraPropertyCount,
                                  &record, sizeof record);
            break;
        }
        case 1:
            SetWindow(filter, random_() % 3, static_cast<LONG>(random_() % 400),
                      static_cast<LONG>(random_() % 200), 32 + static_cast<LONG>(random_() % 720),
                      32 + static_cast<LONG>(random_() % 448));
            break;
        case 2: SetValue(filter, CameraProperty::Clock, static_cast<LONG>(random_() % 3)); break;
        default:
            SetValue(filter, kSettable[random_() % std::size(kSettable)],
                     static_cast<LONG>(random_() % 1200) - 100);
            break;
        }
    }

    std::mt19937 random_;
    unsigned long requests_ = 0;
};

class Soak {
public:
    Soak(unsigned transitions, std::uint32_t seed, int propertyThreads)
        : transitions_(transitions), random_(seed)
    {
        reg::Reset();
        pnp::ClearDriverBindings();
        pnp::RegisterDriver(L"usbcam", DriverEntry, {L"USB\\VID_F055&PID_7A31"});
        Plug();
        for (int i = 0; i < propertyThreads; ++i) {
            traffic_.push_back(std::make_unique<PropertyTraffic>(seed * 7919 + i));
        }
    }

    int Run()
    {
        std::vector<std::thread> threads;
        for (auto& traffic : traffic_) {
            threads.emplace_back([&] { traffic->Run(stop_, pause_, idle_); });
        }
        auto started = std::chrono::steady_clock::now();
        std::printf("%10s %12s %10s %8s %8s\n", "transition", "pool bytes", "blocks", "handles",
                    "threads");
        for (unsigned transition = 0; transition < transitions_; ++transition) {
            if (transition % 1000 == 0) {
                Checkpoint(transition);
            }
            if (transition % 50 == 0) {
                Sample running = TakeSample(transition);
                peakPoolBytes_ = std::max(peakPoolBytes_, running.poolBytes);
                peakHandles_ = std::max(peakHandles_, running.handles);
            }
            Step();
        }
        Checkpoint(transitions_);
        stop_ = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        unsigned long requests = 0;
        for (auto& traffic : traffic_) {
            requests += traffic->Requests();
        }
        std::printf("%u transitions, %lu frames, %lu property requests, %u unplugs, %u removals, "
                    "%u pin re-creations in %.1f s; slowest state change %.1f ms\n"
                    "peak while running: %zu pool bytes, %zu handles\n",
                    transitions_, frames_, requests, unplugs_, removals_, pinRecreations_, seconds,
                    slowestChange_, peakPoolBytes_, peakHandles_);
        Unplug(false);
        pnp::ClearDriverBindings();
        reg::Reset();
        return Flat() ? 0 : 1;
    }

private:
    void Plug()
    {
        camera_ = std::make_unique<sim::Camera>();
        port_ = usbd::HubPort::Attach(*camera_);
    }

    void Unplug(bool surprise)
    {
        pin_.Close();
        filter_.Close();
        if (port_ != nullptr) {
            if (surprise) {
                port_->Unplug();
            } else {
                port_->Remove();
            }
        }
        port_.reset();
        camera_.reset();
    }

    bool OpenPin()
    {
        if (!filter_ && ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, filter_) != STATUS_SUCCESS) {
            return false;
        }
        std::vector<std::vector<std::uint8_t>> ranges;
        std::vector<std::uint8_t> format;
        if (filter_.DataRanges(0, ranges) != STATUS_SUCCESS || ranges.empty() ||
            filter_.Intersect(0, ranges[0].data(), static_cast<ULONG>(ranges[0].size()),
                              format) != STATUS_SUCCESS) {
            return false;
        }
        frame_.resize(752 * 480 * 4);
        return filter_.CreatePin(0, format.data(), static_cast<ULONG>(format.size()), pin_) ==
               STATUS_SUCCESS;
    }

    // One random state transition, with the occasional frame read, pin re-creation, removal.
    void Step()
    {
        unsigned roll = random_() % 1000;
        if (roll < 3) {
            Unplug(roll == 0);
            roll == 0 ? ++unplugs_ : ++removals_;
            Plug();
            return;
        }
        if (roll < 25 || !pin_) {
            pin_.Close();
            if (OpenPin()) {
                ++pinRecreations_;
            }
            return;
        }
        static constexpr KSSTATE kStates[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE,
                                              KSSTATE_RUN};
        KSSTATE state = kStates[random_() % 4];
        auto started = std::chrono::steady_clock::now();
        pin_.SetState(state);
        slowestChange_ = std::max(slowestChange_, std::chrono::duration<double, std::milli>(
                                                      std::chrono::steady_clock::now() - started)
                                                      .count());
        if (state == KSSTATE_RUN && random_() % 4 == 0) {
            KSSTREAM_HEADER header{};
            if (pin_.ReadFrame(frame_, header, 500) == STATUS_SUCCESS) {
                ++frames_;
            }
        }
    }

    // Pauses the traffic, removes the camera in order, samples, and plugs it in again.
    void Checkpoint(unsigned transition)
    {
        pause_ = true;
        while (idle_.load() < static_cast<int>(traffic_.size())) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        Unplug(false);
        // A thread that signalled its end may still be leaving; one that does not end within
        // the verifier's grace period stops the run.
        vf::WaitForSystemThreads();
        Sample sample = TakeSample(transition);
        samples_.push_back(sample);
        std::printf("%10u %12zu %10zu %8zu %8zu\n", sample.transition, sample.poolBytes,
                    sample.poolBlocks, sample.handles, sample.threads);
        std::fflush(stdout);
        Plug();
        pause_ = false;
    }

    bool Flat() const
    {
        const Sample& first = samples_.front();
        bool flat = true;
        for (const Sample& sample : samples_) {
            if (sample.poolBytes != first.poolBytes || sample.poolBlocks != first.poolBlocks ||
                sample.handles != first.handles || sample.threads != first.threads) {
                std::printf("not flat at transition %u\n", sample.transition);
                flat = false;
            }
        }
        std::printf(flat ? "pool, handles and threads flat across %zu checkpoints\n"
                         : "growth across %zu checkpoints\n",
                    samples_.size());
        return flat;
    }

    unsigned transitions_;
    std::mt19937 random_;
    std::unique_ptr<sim::Camera> camera_;
    std::unique_ptr<usbd::HubPort> port_;
    ksclient::Filter filter_;
    ksclient::Pin pin_;
    std::vector<std::uint8_t> frame_;
    std::vector<std::unique_ptr<PropertyTraffic>> traffic_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> pause_{false};
    std::atomic<int> idle_{0};
    std::vector<Sample> samples_;
    unsigned long frames_ = 0;
    unsigned unplugs_ = 0;
    unsigned removals_ = 0;
    unsigned pinRecreations_ = 0;
    double slowestChange_ = 0;
    std::size_t peakPoolBytes_ = 0;
    std::size_t peakHandles_ = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    unsigned transitions = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 0)) : 10000;
    auto seed = static_cast<std::uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 0) : 1);
    int threads = argc > 3 ? std::atoi(argv[3]) : 2;
    if (transitions == 0 || threads < 0 || threads > 16) {
        std::fprintf(stderr, "usage: soak_bench [transitions>0] [seed] [property-threads 0..16]\n");
        return 2;
    }
    return Soak(transitions, seed, threads).Run();
}
