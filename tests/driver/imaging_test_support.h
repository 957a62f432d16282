// Helpers for the image processor tests: a pool-allocated processor with its geometry, raw
// frames, and access to the output pixels.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "imaging/conversion_kernels.h"
#include "imaging/image_processor.h"
#include "imaging/output_formats.h"
#include "imaging/vector_state_save.h"

namespace imaging_test {

constexpr UCHAR OutputSentinel = 0xA5;
constexpr size_t OutputGuardBytes = 64;

struct Pixel {
    UCHAR Blue;
    UCHAR Green;
    UCHAR Red;
    UCHAR Alpha;
    bool operator==(const Pixel& other) const
    {
        return Blue == other.Blue && Green == other.Green && Red == other.Red &&
               Alpha == other.Alpha;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Pixel& p)
{
    return out << "(b " << int(p.Blue) << ", g " << int(p.Green) << ", r " << int(p.Red)
               << ", a " << int(p.Alpha) << ")";
}

// A raw frame of `height` lines of `pitch` bytes, `width` of them image pixels.
struct RawFrame {
    ULONG Width = 0;
    ULONG Height = 0;
    ULONG Pitch = 0;
    std::vector<UCHAR> Bytes;

    RawFrame(ULONG width, ULONG height, UCHAR fill = 0, ULONG pitch = 0)
        : Width(width), Height(height), Pitch(pitch ? pitch : width),
          Bytes(static_cast<size_t>(Pitch) * height + 1, fill)
    {
    }
    UCHAR& At(ULONG x, ULONG y) { return Bytes[static_cast<size_t>(y) * Pitch + x]; }
    const UCHAR* Data() const { return Bytes.data(); }

    void Randomize(std::mt19937& random)
    {
        std::uniform_int_distribution<int> byte(0, 255);
        for (UCHAR& b : Bytes) {
            b = static_cast<UCHAR>(byte(random));
        }
    }
};

// The colour of image pixel (x, y) for a Bayer phase: 0 red, 1 green, 2 blue.
inline int SiteColour(int phase, ULONG x, ULONG y)
{
    ULONG xp = (x ^ (static_cast<ULONG>(phase) >> 1)) & 1;
    ULONG yp = (y ^ static_cast<ULONG>(phase)) & 1;
    if (xp == yp) {
        return 1;
    }
    return xp == 1 ? 0 : 2;
}

// An ImageProcessor from the pool, destroyed under its tag at the end of the test.
class Processor {
public:
    Processor() : processor_(ImageProcessor::Create()) {}
    ~Processor() { ImageProcessor::Destroy(processor_); }
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    ImageProcessor* operator->() const { return processor_; }
    ImageProcessor* get() const { return processor_; }

    // Geometry, working buffer and an output image followed by a guard area.
    void Prepare(ULONG width, ULONG height)
    {
        processor_->SetGeometry(width, height);
        processor_->PrepareWorkBuffer();
        output_.assign(static_cast<size_t>(width) * height * 4 + OutputGuardBytes, OutputSentinel);
        processor_->OutputBuffer = output_.data();
    }

    void Convert(const RawFrame& raw) { processor_->Convert(raw.Data(), 0, raw.Pitch); }

    // Convert's per-frame preparation without white balance, then the given kernel family.
    void RunColor(const ConversionKernels& kernels, int phase)
    {
        Snapshot();
        kernels.ColorKernel[phase](processor_, &processor_->Frame);
    }
    void RunPlain(const ConversionKernels& kernels, int phase)
    {
        Snapshot();
        kernels.PlainKernel[phase](&processor_->Frame);
    }
    // The same preparation, then the kernel of an output format; colour or plain.
    BOOLEAN RunFormat(const FormatKernels& kernels, ULONG format, int phase, bool color)
    {
        Snapshot();
        return kernels.Kernel[format][phase](processor_, &processor_->Frame, color ? TRUE : FALSE);
    }
    void SetGains(LONG red, LONG green, LONG blue)
    {
        processor_->SetRedGain(red);
        processor_->SetGreenGain(green);
        processor_->SetBlueGain(blue);
    }
    // Replaces the quantised matrix (the frame snapshot takes it from there).
    void SetFixedMatrix(const LONG (&coefficients)[16])
    {
        for (int k = 0; k < 16; ++k) {
            processor_->FixedMatrix[k] = coefficients[k];
        }
    }

    Pixel At(ULONG x, ULONG y) const
    {
        Pixel p;
        std::memcpy(&p, &output_[(static_cast<size_t>(y) * processor_->Width + x) * 4], 4);
        return p;
    }
    const std::vector<UCHAR>& Output() const { return output_; }
    size_t ImageBytes() const { return output_.size() - OutputGuardBytes; }
    bool GuardIntact() const
    {
        for (size_t i = ImageBytes(); i < output_.size(); ++i) {
            if (output_[i] != OutputSentinel) {
                return false;
            }
        }
        return true;
    }
    // No byte at or past `offset` was written since the last ClearOutput (or Prepare).
    bool UntouchedFrom(size_t offset) const
    {
        for (size_t i = offset; i < output_.size(); ++i) {
            if (output_[i] != OutputSentinel) {
                return false;
            }
        }
        return true;
    }
    void ClearOutput() { std::fill(output_.begin(), output_.end(), OutputSentinel); }

private:
    void Snapshot()
    {
        ImageProcessor* p = processor_;
        p->Frame.Output = p->OutputBuffer;
        p->Frame.RedGain = p->GetRedGain();
        p->Frame.GreenGain = p->GetGreenGain();
        p->Frame.BlueGain = p->GetBlueGain();
        for (int k = 0; k < 16; ++k) {
            p->PositiveFlags[k] = p->FixedMatrix[k] > 0 ? 1 : 0;
            p->Frame.Coefficients[k] = p->FixedMatrix[k];
        }
    }

    ImageProcessor* processor_;
    std::vector<UCHAR> output_;
};

// The kernel families under test: the portable reference and, where built, the SSE2 form.
struct KernelForm {
    const char* Name;
    const ConversionKernels* Kernels;
};

inline void PrintTo(const KernelForm& form, std::ostream* out)
{
    *out << form.Name;
}

inline std::vector<KernelForm> KernelForms()
{
    std::vector<KernelForm> forms = {{"Portable", &PortableKernelTable}};
#ifdef IMAGING_HAVE_SSE2
    forms.push_back({"Sse2", &Sse2KernelTable});
#endif
    return forms;
}

inline std::string KernelFormName(const testing::TestParamInfo<KernelForm>& info)
{
    return info.param.Name;
}

}  // namespace imaging_test
