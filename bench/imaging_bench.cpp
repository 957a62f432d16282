// Speed of the image processor on a full 752 x 480 frame of a natural-looking scene, one
// thread: the colour path per Bayer phase, the plain path, white balance plus colour, Convert
// as a whole, and beside them the memory floor (reading the raw frame in and writing the output
// once) and, when OpenCV is available, its Bayer-to-BGRA conversions on the same frame.
// Each output format (RGB32, RGB24, YUY2, NV12, raw Bayer) runs through its format kernel,
// colour and plain, beside the RGB32 path.
// A summary with nanoseconds per pixel, milliseconds per frame and the ratio to the memory
// floor follows the usual report.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "imaging/conversion_kernels.h"
#include "imaging/image_processor.h"
#include "imaging/output_formats.h"
#include "imaging/vector_state_save.h"

#ifdef IMAGING_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr ULONG FrameWidth = 752;
constexpr ULONG FrameHeight = 480;
constexpr double FramePixels = double(FrameWidth) * FrameHeight;

struct Rgb {
    double Red, Green, Blue;
};

// A daylight scene: sky gradient with a sun glow, textured ground, a colour chart, a red disc,
// fine lines and sensor noise.
Rgb Scene(double x, double y)
{
    Rgb c;
    double horizon = FrameHeight * 0.45;
    if (y < horizon) {
        double t = y / horizon;
        c = {90 + 120 * t, 140 + 90 * t, 230 - 20 * t};
        double glow = std::exp(-((x - 600) * (x - 600) + (y - 60) * (y - 60)) / 3000.0);
        c.Red += 120 * glow;
        c.Green += 110 * glow;
        c.Blue += 60 * glow;
    } else {
        double texture = 18 * std::sin(x * 0.21 + std::sin(y * 0.13) * 3) * std::cos(y * 0.37);
        c = {95 + texture, 120 + texture * 1.2, 55 + texture * 0.5};
    }
    // Colour chart: 6 x 4 patches.
    if (x >= 40 && x < 280 && y >= 250 && y < 410) {
        static const Rgb patches[4][6] = {
            {{115, 82, 68}, {194, 150, 130}, {98, 122, 157}, {87, 108, 67}, {133, 128, 177}, {103, 189, 170}},
            {{214, 126, 44}, {80, 91, 166}, {193, 90, 99}, {94, 60, 108}, {157, 188, 64}, {224, 163, 46}},
            {{56, 61, 150}, {70, 148, 73}, {175, 54, 60}, {231, 199, 31}, {187, 86, 149}, {8, 133, 161}},
            {{243, 243, 242}, {200, 200, 200}, {160, 160, 160}, {122, 122, 121}, {85, 85, 85}, {52, 52, 52}},
        };
        c = patches[int((y - 250) / 40)][int((x - 40) / 40)];
    }
    double dx = x - 470, dy = y - 300;
    if (dx * dx + dy * dy < 70 * 70) {
        c = {200 - dy * 0.5, 40 + dx * 0.2, 35};
    }
    if (int(x) % 97 == 0 || (int(y) % 61 == 0 && x > 300)) {
        c = {30, 30, 35};
    }
    return c;
}

// The scene through a Bayer filter of the given phase, with a little noise.
std::vector<UCHAR> MosaicFrame(int phase)
{
    std::vector<UCHAR> raw(size_t(FrameWidth) * FrameHeight);
    std::mt19937 random(1234);
    std::normal_distribution<double> noise(0.0, 2.0);
    for (ULONG y = 0; y < FrameHeight; ++y) {
        for (ULONG x = 0; x < FrameWidth; ++x) {
            Rgb c = Scene(x, y);
            ULONG xp = (x ^ (ULONG(phase) >> 1)) & 1;
            ULONG yp = (y ^ ULONG(phase)) & 1;
            double v = xp == yp ? c.Green : (xp == 1 ? c.Red : c.Blue);
            raw[size_t(y) * FrameWidth + x] =
                static_cast<UCHAR>(std::clamp(std::lround(v + noise(random)), 0L, 255L));
        }
    }
    return raw;
}

// A processor set up for full frames, with its output image.
struct Setup {
    ImageProcessor* Processor;
    std::vector<UCHAR> Output;
    std::vector<UCHAR> Raw;

    explicit Setup(int phase) : Processor(ImageProcessor::Create()), Raw(MosaicFrame(phase))
    {
        Processor->SetGeometry(FrameWidth, FrameHeight);
        Processor->PrepareWorkBuffer();
        Output.assign(size_t(FrameWidth) * FrameHeight * 4, 0);
        Processor->OutputBuffer = Output.data();
        Processor->SetBayerPhase(phase);
        Processor->LoadRawFrame(Raw.data(), 0, FrameWidth);
        // The per-frame snapshot Convert takes.
        FrameDescriptor& frame = Processor->Frame;
        frame.Output = Output.data();
        frame.RedGain = frame.GreenGain = frame.BlueGain = 128;
        for (int k = 0; k < 16; ++k) {
            Processor->PositiveFlags[k] = Processor->FixedMatrix[k] > 0 ? 1 : 0;
            frame.Coefficients[k] = Processor->FixedMatrix[k];
        }
    }
    ~Setup() { ImageProcessor::Destroy(Processor); }
};

void SetPixelCounters(benchmark::State& state)
{
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(FramePixels));
}

// Copying the raw bytes in and writing every output byte once: the least any conversion
// of a frame costs.
void MemoryFloor(benchmark::State& state)
{
    std::vector<UCHAR> raw = MosaicFrame(3);
    std::vector<UCHAR> work(raw.size());
    std::vector<UCHAR> output(raw.size() * 4);
    for (auto _ : state) {
        std::memcpy(work.data(), raw.data(), raw.size());
        std::memset(output.data(), 0xFF, output.size());
        benchmark::DoNotOptimize(work.data());
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    SetPixelCounters(state);
}
BENCHMARK(MemoryFloor);

// The same bytes when the frame is not in the cache, as for a frame that has just arrived from
// the camera: rotates through more frames than the last-level cache holds.
void MemoryFloorUncached(benchmark::State& state)
{
    constexpr size_t Frames = 40;
    const size_t rawBytes = size_t(FrameWidth) * FrameHeight;
    std::vector<UCHAR> raw(rawBytes * Frames, 0x40);
    std::vector<UCHAR> work(rawBytes * Frames);
    std::vector<UCHAR> output(rawBytes * 4 * Frames);
    size_t frame = 0;
    for (auto _ : state) {
        std::memcpy(&work[frame * rawBytes], &raw[frame * rawBytes], rawBytes);
        std::memset(&output[frame * rawBytes * 4], 0xFF, rawBytes * 4);
        benchmark::DoNotOptimize(work.data());
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
        frame = (frame + 1) % Frames;
    }
    SetPixelCounters(state);
}
BENCHMARK(MemoryFloorUncached);

// The kernel form of the benchmark's instruction set (its argument, an ImagingIsa), under the
// saves it needs; skipped where the processor or the system does not offer the set.
const ConversionKernels* BenchKernels(benchmark::State& state, const VectorStateScope& scope)
{
    const ImagingIsa isa = static_cast<ImagingIsa>(state.range(0));
    if (!scope.Covers(isa)) {
        state.SkipWithError("instruction set not available here");
        return nullptr;
    }
    return KernelTableFor(isa);
}

void IsaArguments(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgName("isa");
    for (int isa = ImagingIsaSse2; isa < static_cast<int>(ImagingIsaCount); ++isa) {
        benchmark->Arg(isa);
    }
}

// Border copy and colour kernel, default settings.
void ColourPath(benchmark::State& state)
{
    Setup setup(3);
    VectorStateScope scope(static_cast<ImagingIsa>(state.range(0)));
    const ConversionKernels* kernels = BenchKernels(state, scope);
    if (kernels == nullptr) {
        return;
    }
    for (auto _ : state) {
        setup.Processor->LoadRawFrame(setup.Raw.data(), 0, FrameWidth);
        kernels->ColorKernel[3](setup.Processor, &setup.Processor->Frame);
        benchmark::ClobberMemory();
    }
    SetPixelCounters(state);
}
BENCHMARK(ColourPath)->Apply(IsaArguments);

// Colour path with settings whose transform needs exact 32-bit sums.
void ColourPathExtremeSettings(benchmark::State& state)
{
    Setup setup(3);
    setup.Processor->SetContrast(20);
    setup.Processor->SetSaturation(20);
    for (int k = 0; k < 16; ++k) {
        setup.Processor->PositiveFlags[k] = setup.Processor->FixedMatrix[k] > 0 ? 1 : 0;
        setup.Processor->Frame.Coefficients[k] = setup.Processor->FixedMatrix[k];
    }
    VectorStateScope scope(static_cast<ImagingIsa>(state.range(0)));
    const ConversionKernels* kernels = BenchKernels(state, scope);
    if (kernels == nullptr) {
        return;
    }
    for (auto _ : state) {
        setup.Processor->LoadRawFrame(setup.Raw.data(), 0, FrameWidth);
        kernels->ColorKernel[3](setup.Processor, &setup.Processor->Frame);
        benchmark::ClobberMemory();
    }
    SetPixelCounters(state);
}
BENCHMARK(ColourPathExtremeSettings)->Apply(IsaArguments);

// Border copy and plain kernel.
void PlainPath(benchmark::State& state)
{
    Setup setup(3);
    VectorStateScope scope(static_cast<ImagingIsa>(state.range(0)));
    const ConversionKernels* kernels = BenchKernels(state, scope);
    if (kernels == nullptr) {
        return;
    }
    for (auto _ : state) {
        setup.Processor->LoadRawFrame(setup.Raw.data(), 0, FrameWidth);
        kernels->PlainKernel[3](&setup.Processor->Frame);
        benchmark::ClobberMemory();
    }
    SetPixelCounters(state);
}
BENCHMARK(PlainPath)->Apply(IsaArguments);

// Border copy, white balance, then the colour kernel with the gains it computed, as Convert
// runs them: one call that keeps the demosaiced frame between the two.
void WhiteBalanceAndColour(benchmark::State& state)
{
    Setup setup(3);
    VectorStateScope scope(static_cast<ImagingIsa>(state.range(0)));
    const ConversionKernels* kernels = BenchKernels(state, scope);
    if (kernels == nullptr) {
        return;
    }
    FrameDescriptor* frame = &setup.Processor->Frame;
    for (auto _ : state) {
        setup.Processor->LoadRawFrame(setup.Raw.data(), 0, FrameWidth);
        frame->RedGain = frame->GreenGain = frame->BlueGain = 128;
        kernels->BalancedConversion[3](setup.Processor, frame, TRUE, &frame->RedGain,
                                       &frame->GreenGain, &frame->BlueGain);
        benchmark::ClobberMemory();
    }
    SetPixelCounters(state);
}
BENCHMARK(WhiteBalanceAndColour)->Apply(IsaArguments);

// The whole per-frame entry, default settings (colour, no white balance) and with white balance.
void ConvertWhole(benchmark::State& state)
{
    Setup setup(3);
    setup.Processor->SetWhiteBalance(LONG(state.range(0)));
    for (auto _ : state) {
        setup.Processor->Convert(setup.Raw.data(), 0, FrameWidth);
        benchmark::ClobberMemory();
    }
    SetPixelCounters(state);
}
BENCHMARK(ConvertWhole)->Arg(0)->Arg(1);

// The portable reference, for scale.
void PortableColourPath(benchmark::State& state)
{
    Setup setup(3);
    for (auto _ : state) {
        setup.Processor->LoadRawFrame(setup.Raw.data(), 0, FrameWidth);
        PortableKernelTable.ColorKernel[3](setup.Processor, &setup.Processor->Frame);
        benchmark::ClobberMemory();
    }
    SetPixelCounters(state);
}
BENCHMARK(PortableColourPath);

// Border copy and the format kernel of one output format (first argument, the OutputFormat
// value), colour (second argument 1) or plain (0), and instruction set (third), phase 3.
void FormatPath(benchmark::State& state)
{
    Setup setup(3);
    const ULONG format = ULONG(state.range(0));
    const BOOLEAN color = state.range(1) != 0 ? TRUE : FALSE;
    const ImagingIsa isa = static_cast<ImagingIsa>(state.range(2));
    VectorStateScope scope(isa);
    if (!scope.Covers(isa)) {
        state.SkipWithError("instruction set not available here");
        return;
    }
    const FormatKernels* kernels = FormatKernelsFor(isa);
    for (auto _ : state) {
        setup.Processor->LoadRawFrame(setup.Raw.data(), 0, FrameWidth);
        kernels->Kernel[format][3](setup.Processor, &setup.Processor->Frame, color);
        benchmark::ClobberMemory();
    }
    SetPixelCounters(state);
}
BENCHMARK(FormatPath)->ArgsProduct({{OutputFormatRgb32, OutputFormatRgb24, OutputFormatYuy2,
                                     OutputFormatNv12, OutputFormatBayer8},
                                    {1, 0},
                                    {ImagingIsaSse2, ImagingIsaAvx2, ImagingIsaAvx512}});

#ifdef IMAGING_BENCH_OPENCV
// OpenCV on the same phase-3 (G B / R G) frame; OpenCV names that layout "GR".
void OpenCvBayer(benchmark::State& state, int code)
{
    cv::setNumThreads(1);
    std::vector<UCHAR> raw = MosaicFrame(3);
    cv::Mat input(int(FrameHeight), int(FrameWidth), CV_8UC1, raw.data());
    cv::Mat output;
    for (auto _ : state) {
        cv::cvtColor(input, output, code);
        benchmark::DoNotOptimize(output.data);
        benchmark::ClobberMemory();
    }
    SetPixelCounters(state);
}
BENCHMARK_CAPTURE(OpenCvBayer, Bilinear, cv::COLOR_BayerGR2BGRA);
// The edge-aware variant produces BGR only; its cost is the demosaicing.
BENCHMARK_CAPTURE(OpenCvBayer, EdgeAware, cv::COLOR_BayerGR2BGR_EA);
#endif

// Collects the mean time per frame of each run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                // CPU time per iteration, in nanoseconds: single-threaded work, and steadier
                // than wall time on a shared machine.
                double ns = run.cpu_accumulated_time * 1e9 / double(run.iterations);
                times_[run.benchmark_name()] = ns;
                order_.push_back(run.benchmark_name());
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintSummary() const
    {
        auto floor = times_.find("MemoryFloor");
        auto uncached = times_.find("MemoryFloorUncached");
        auto opencv = times_.find("OpenCvBayer/Bilinear");
        std::printf("\n%-38s %10s %10s %10s %12s %10s\n", "Benchmark", "ns/pixel", "ms/frame",
                    "x floor", "x uncached", "x OpenCV");
        for (const std::string& name : order_) {
            double ns = times_.at(name);
            double ratio = floor != times_.end() ? ns / floor->second : 0.0;
            double uncachedRatio = uncached != times_.end() ? ns / uncached->second : 0.0;
            // Against OpenCV's single-threaded bilinear Bayer to BGRA on the same frame.
            double opencvRatio = opencv != times_.end() ? ns / opencv->second : 0.0;
            std::printf("%-38s %10.3f %10.3f %10.2f %12.2f %10.2f\n", name.c_str(),
                        ns / FramePixels, ns / 1e6, ratio, uncachedRatio, opencvRatio);
        }
        // Each format against RGB32 on the same path (colour or plain).
        std::printf("\n%-34s %10s\n", "Format path", "x RGB32");
        for (const std::string& name : order_) {
            const std::string prefix = "FormatPath/";
            if (name.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            // Against RGB32 with the same colour mode and instruction set.
            std::string rest = name.substr(prefix.size());
            std::string mode = rest.substr(rest.find('/'));
            auto rgb32 = times_.find(prefix + "0" + mode);
            if (rgb32 != times_.end()) {
                std::printf("%-34s %10.2f\n", name.c_str(), times_.at(name) / rgb32->second);
            }
        }
    }

private:
    std::map<std::string, double> times_;
    std::vector<std::string> order_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
