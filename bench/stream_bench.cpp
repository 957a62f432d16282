// End-to-end streaming: full frames per second delivered to an application with the camera
// unthrottled, beside the conversion-only rate, and the CPU time per delivered frame at 30
// frames per second with the camera in real time.
#include <benchmark/benchmark.h>

#include <ks/user/ks_client.h>
#include <ntoskrnl/host/pnp.h>
#include <ntoskrnl/host/registry.h>
#include <usbd/host/hub.h>

#include "device/capture_device.h"
#include "capture/capture_worker.h"
#include "imaging/image_processor.h"
#include "imaging/processor_isa.h"
#include "pin/capture_pin.h"
#include "sim/camera.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <memory>
#include <vector>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// CPU time in seconds used so far by the process's threads, by thread name (from the
// scheduler's per-thread run time, in nanoseconds).
std::map<std::string, double> CpuSecondsByThreadName()
{
    std::map<std::string, double> seconds;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return seconds;
    }
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::string name;
        std::ifstream(base + "/comm") >> name;
        double runNanoseconds = 0;
        std::ifstream(base + "/schedstat") >> runNanoseconds;
        seconds[name] += runNanoseconds * 1e-9;
    }
    closedir(tasks);
    return seconds;
}

// One simulated camera with the driver loaded for it and a running capture pin.
class StreamSession {
public:
    // `clock` selects the sensor clock: 0 runs the full frame at about 60 frames per second in
    // real time, 1 at about 30.
    explicit StreamSession(sim::Timing timing, LONG clock = 0)
    {
        reg::Reset();
        pnp::ClearDriverBindings();
        pnp::RegisterDriver(L"usbcam", DriverEntry, {L"USB\\VID_F055&PID_7A31"});
        sim::CameraOptions options;
        options.timing = timing;
        camera_ = std::make_unique<sim::Camera>(options);
        port_ = usbd::HubPort::Attach(*camera_);
        device_ = static_cast<CaptureDevice*>(
            KsGetDeviceForDeviceObject(pnp::TopOfStack(port_->PhysicalDevice()))->Context);
        device_->SetClock(clock);
        device_->SetExposure(480);
        device_->SetGlobalGain(16);
        ksclient::Filter::OpenFirst(KSCATEGORY_CAPTURE, filter_);
        std::vector<std::vector<std::uint8_t>> ranges;
        filter_.DataRanges(0, ranges);
        std::vector<std::uint8_t> format;
        filter_.Intersect(0, ranges[0].data(), static_cast<ULONG>(ranges[0].size()), format);
        filter_.CreatePin(0, format.data(), static_cast<ULONG>(format.size()), pin_);
        pin_.SetState(KSSTATE_RUN);
        frame_.resize(752 * 480 * 4);
    }

    ~StreamSession()
    {
        DrainQueue();
        pin_.Close();
        filter_.Close();
        port_->Remove();
        port_.reset();
        camera_.reset();
        pnp::ClearDriverBindings();
        reg::Reset();
    }

    bool ReadFrame()
    {
        KSSTREAM_HEADER header{};
        return pin_.ReadFrame(frame_, header, 5000) == STATUS_SUCCESS;
    }

    // Keeps two frames queued, as an application with the pin's two-frame framing does, and
    // returns when the older one is filled. The two client frames are reused, so no time goes
    // to allocating and faulting in fresh client memory.
    bool ReadQueuedFrame()
    {
        while (queued_.size() < 2) {
            Slot& slot = slots_[nextSlot_];
            if (slot.data.empty()) {
                slot.data.resize(752 * 480 * 4);
            }
            slot.header = KSSTREAM_HEADER{};
            slot.header.Size = sizeof(KSSTREAM_HEADER);
            slot.header.FrameExtent = static_cast<ULONG>(slot.data.size());
            slot.header.Data = slot.data.data();
            if (KsQueueFrame(pin_.Get(), &slot.header, &slot.request) != STATUS_SUCCESS) {
                return false;
            }
            nextSlot_ = (nextSlot_ + 1) % slots_.size();
            queued_.push_back(&slot);
        }
        Slot* oldest = queued_.front();
        queued_.erase(queued_.begin());
        NTSTATUS status = KsWaitFrame(oldest->request, 5000);
        if (status == STATUS_TIMEOUT) {
            KsCancelFrame(oldest->request);
        }
        KsCloseHandle(oldest->request);
        oldest->request = nullptr;
        return status == STATUS_SUCCESS;
    }

    void DrainQueue()
    {
        for (Slot* slot : queued_) {
            KsCancelFrame(slot->request);
            KsCloseHandle(slot->request);
            slot->request = nullptr;
        }
        queued_.clear();
    }

    // The running pin's statistics: frames delivered, and those that repeated the previous
    // image because no new frame had been converted.
    LONG FramesDelivered() const { return device_->StreamOwner->FramesDelivered; }
    LONG RepeatedFrames() const { return device_->StreamOwner->RepeatedFrames; }
    LONG FramesRead() const { return device_->Worker->ReadFramesRead(); }
    LONG FramesConverted() const { return device_->Worker->ReadFramesConverted(); }

private:
    CaptureDevice* device_ = nullptr;
    std::unique_ptr<sim::Camera> camera_;
    std::unique_ptr<usbd::HubPort> port_;
    ksclient::Filter filter_;
    ksclient::Pin pin_;
    std::vector<std::uint8_t> frame_;
    struct Slot {
        std::vector<std::uint8_t> data;
        KSSTREAM_HEADER header{};
        HANDLE request = nullptr;
    };
    std::array<Slot, 2> slots_;
    std::size_t nextSlot_ = 0;
    std::vector<Slot*> queued_;
};

// A processor converting a full-sensor raw frame with some structure in it into its own
// output image, on the calling thread.
class FullFrameConverter {
public:
    FullFrameConverter() : raw_(752 * 480), output_(752 * 480 * 4)
    {
        for (std::size_t i = 0; i < raw_.size(); ++i) {
            raw_[i] = static_cast<std::uint8_t>((i * 7 + (i / 752) * 3) & 0xFF);
        }
        processor_->SetGeometry(752, 480);
        processor_->PrepareWorkBuffer();
        processor_->OutputBuffer = output_.data();
        processor_->SetBayerPhase(3);
    }

    ~FullFrameConverter()
    {
        processor_->OutputBuffer = nullptr;
        ImageProcessor::Destroy(processor_);
    }

    FullFrameConverter(const FullFrameConverter&) = delete;
    FullFrameConverter& operator=(const FullFrameConverter&) = delete;

    void Convert()
    {
        processor_->Convert(raw_.data(), 0, 752);
        benchmark::DoNotOptimize(output_.data());
    }

    const std::uint8_t* Output() const { return output_.data(); }

private:
    ImageProcessor* processor_ = ImageProcessor::Create();
    std::vector<std::uint8_t> raw_;
    std::vector<std::uint8_t> output_;
};

// Full-frame conversions per second on this thread, over about `seconds`.
double ConversionRate(double seconds)
{
    FullFrameConverter converter;
    auto start = std::chrono::steady_clock::now();
    std::int64_t frames = 0;
    double elapsed = 0;
    while (elapsed < seconds) {
        converter.Convert();
        ++frames;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return static_cast<double>(frames) / elapsed;
}

// Frames delivered to an application that keeps two frames queued, with the camera free
// running. A frame counts as new when the driver converted a raw frame since it delivered the
// previous one; the pin repeats the last image when a pass finds no new raw frame. Two
// conversion-only rates are measured beside it, in the same run: the processor converting one
// frame after another on one thread, and the same stream converting with no client frame
// queued (every pass converts, none delivers).
void DeliveredFramesUnthrottled(benchmark::State& state)
{
    // Measured once, as the better of two one-second runs (the framework calls this function
    // more than once): a run slowed by something else on the machine would flatter the ratio.
    static const double conversionOnly = std::max(ConversionRate(1.0), ConversionRate(1.0));
    StreamSession session(sim::Timing::AsFastAsPossible);
    session.ReadFrame();

    LONG convertedBefore = session.FramesConverted();
    auto idleStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double streamConversionOnly =
        (session.FramesConverted() - convertedBefore) /
        std::chrono::duration<double>(std::chrono::steady_clock::now() - idleStart).count();

    std::map<std::string, double> threadsBefore = CpuSecondsByThreadName();
    LONG deliveredBefore = session.FramesDelivered();
    LONG repeatedBefore = session.RepeatedFrames();
    LONG readBefore = session.FramesRead();
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        session.ReadQueuedFrame();
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::map<std::string, double> threadsAfter = CpuSecondsByThreadName();
    for (const char* thread : {"ks-process", "system", "usb-host"}) {
        state.counters[std::string(thread) + "_busy_percent"] =
            (threadsAfter[thread] - threadsBefore[thread]) / elapsed * 100.0;
    }
    double delivered = session.FramesDelivered() - deliveredBefore;
    double repeated = session.RepeatedFrames() - repeatedBefore;
    double newPerSecond = (delivered - repeated) / elapsed;
    state.counters["delivered_per_second"] = delivered / elapsed;
    state.counters["read_per_second"] = (session.FramesRead() - readBefore) / elapsed;
    state.counters["new_frames_per_second"] = newPerSecond;
    state.counters["conversion_only_per_second"] = conversionOnly;
    state.counters["new_vs_conversion_only_percent"] = newPerSecond / conversionOnly * 100.0;
    state.counters["stream_conversion_only_per_second"] = streamConversionOnly;
    state.counters["new_vs_stream_conversion_only_percent"] =
        newPerSecond / streamConversionOnly * 100.0;
}
BENCHMARK(DeliveredFramesUnthrottled)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void ConversionOnly(benchmark::State& state)
{
    FullFrameConverter converter;
    for (auto _ : state) {
        converter.Convert();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ConversionOnly)->Unit(benchmark::kMillisecond);

// The pin's whole per-frame work without the camera: the conversion, then the bottom-up copy of
// the image into a client frame.
void ConversionAndDeliveryCopy(benchmark::State& state)
{
    FullFrameConverter converter;
    std::vector<std::uint8_t> client(752 * 480 * 4);
    const std::size_t rowBytes = 752 * 4;
    for (auto _ : state) {
        converter.Convert();
        for (std::size_t row = 0; row < 480; ++row) {
            std::memcpy(client.data() + row * rowBytes,
                        converter.Output() + (479 - row) * rowBytes, rowBytes);
        }
        benchmark::DoNotOptimize(client.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(ConversionAndDeliveryCopy)->Unit(benchmark::kMillisecond);

// CPU time of the whole process (camera, driver, framework, application) per delivered frame
// with the camera pacing frames in real time.
void CpuPerFrameAtThirtyFps(benchmark::State& state)
{
    StreamSession session(sim::Timing::RealTime, 1);
    session.ReadFrame();
    double cpu = 0;
    std::int64_t frames = 0;
    std::map<std::string, double> threadsBefore = CpuSecondsByThreadName();
    for (auto _ : state) {
        double start = ProcessCpuSeconds();
        if (session.ReadQueuedFrame()) {
            ++frames;
        }
        cpu += ProcessCpuSeconds() - start;
    }
    std::map<std::string, double> threadsAfter = CpuSecondsByThreadName();
    // The driver runs on the capture thread (a system thread) and the pin's processing thread;
    // the camera, the host controller and the application have threads of their own.
    double driver = (threadsAfter["system"] - threadsBefore["system"]) +
                    (threadsAfter["ks-process"] - threadsBefore["ks-process"]);
    double driverPerFrame = frames == 0 ? 0 : driver / static_cast<double>(frames);
    state.counters["driver_ms_per_frame"] = driverPerFrame * 1e3;
    state.counters["driver_core_percent_at_30fps"] = driverPerFrame * 30.0 * 100.0;
    double perFrame = frames == 0 ? 0 : cpu / static_cast<double>(frames);
    state.counters["cpu_ms_per_frame"] = perFrame * 1e3;
    state.counters["core_percent_at_30fps"] = perFrame * 30.0 * 100.0;
    state.counters["frames_per_second"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.SetItemsProcessed(frames);
}
BENCHMARK(CpuPerFrameAtThirtyFps)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(90);

}  // namespace

// --imaging_isa=sse2|avx2|avx512 limits the conversion kernels of every processor the run
// creates (the default: the widest this machine and its system offer).
int main(int argc, char** argv)
{
    const std::string option = "--imaging_isa=";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument.compare(0, option.size(), option) != 0) {
            argv[kept++] = argv[i];
            continue;
        }
        std::string name = argument.substr(option.size());
        if (name == "sse2") {
            LimitImagingIsa(ImagingIsaSse2);
        } else if (name == "avx2") {
            LimitImagingIsa(ImagingIsaAvx2);
        } else if (name == "avx512") {
            LimitImagingIsa(ImagingIsaAvx512);
        } else {
            std::fprintf(stderr, "unknown instruction set '%s': sse2, avx2 or avx512\n", name.c_str());
            return 2;
        }
    }
    argc = kept;
    std::printf("conversion kernels: %s\n",
                ChosenImagingIsa() == ImagingIsaAvx512 ? "AVX-512"
                : ChosenImagingIsa() == ImagingIsaAvx2 ? "AVX2"
                                                       : "SSE2");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
