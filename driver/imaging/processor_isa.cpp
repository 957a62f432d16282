// The processor's instruction sets from CPUID, and the system's enabled extended features.
// Compiled for general registers only (driver/CMakeLists.txt): it runs outside any save.
#include "imaging/processor_isa.h"

#include "imaging/extended_state_routines.h"

#include <cpuid.h>

namespace {

// CPUID leaf 1, ECX.
constexpr unsigned int CpuidOsxsave = 1u << 27;
constexpr unsigned int CpuidAvx = 1u << 28;
// CPUID leaf 7 sub-leaf 0, EBX.
constexpr unsigned int CpuidAvx2 = 1u << 5;
constexpr unsigned int CpuidAvx512F = 1u << 16;
constexpr unsigned int CpuidAvx512BW = 1u << 30;

// LimitImagingIsa's value; read and written with interlocked operations.
volatile LONG ImagingIsaLimit = ImagingIsaCount;

}  // namespace

ImagingIsa ProcessorCpuImagingIsa()
{
    unsigned int eax = 0;
    unsigned int ebx = 0;
    unsigned int ecx = 0;
    unsigned int edx = 0;
    // __get_cpuid* check the highest leaf first (0 when the leaf is beyond it).
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 ||
        (ecx & (CpuidOsxsave | CpuidAvx)) != (CpuidOsxsave | CpuidAvx)) {
        return ImagingIsaSse2;
    }
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0 || (ebx & CpuidAvx2) == 0) {
        return ImagingIsaSse2;
    }
    if ((ebx & (CpuidAvx512F | CpuidAvx512BW)) == (CpuidAvx512F | CpuidAvx512BW)) {
        return ImagingIsaAvx512;
    }
    return ImagingIsaAvx2;
}

ImagingIsa WidestEnabledImagingIsa(ImagingIsa isa, ULONG64 enabledFeatures)
{
    ULONG candidate = isa < ImagingIsaCount ? static_cast<ULONG>(isa) : ImagingIsaSse2;
    for (; candidate != ImagingIsaSse2; --candidate) {
        ULONG64 needed = ImagingIsaFeatureMask(static_cast<ImagingIsa>(candidate));
        if ((enabledFeatures & needed) == needed) {
            break;
        }
    }
    return static_cast<ImagingIsa>(candidate);
}

ImagingIsa ProcessorImagingIsa()
{
    ImagingIsa processor = ProcessorCpuImagingIsa();
    if (processor == ImagingIsaSse2) {
        return ImagingIsaSse2;
    }
    return WidestEnabledImagingIsa(processor,
                                   EnabledExtendedFeatures(ImagingIsaFeatureMask(processor)));
}

void LimitImagingIsa(ImagingIsa limit)
{
    InterlockedExchange(&ImagingIsaLimit, static_cast<LONG>(limit));
}

ImagingIsa ChosenImagingIsa()
{
    ImagingIsa isa = ProcessorImagingIsa();
    LONG limit = InterlockedExchangeAdd(&ImagingIsaLimit, 0);
    if (limit >= 0 && limit < static_cast<LONG>(isa)) {
        isa = static_cast<ImagingIsa>(limit);
    }
    return isa;
}
