// Which conversion kernels this machine can run: the processor's instruction sets, narrowed to
// those whose register state the system saves and lets a driver save.
#pragma once

#include "imaging/imaging_isa.h"

// The widest instruction set the processor implements, by CPUID alone: AVX-512 when it has
// AVX512F and AVX512BW (and AVX2), AVX2 when it has AVX2 and AVX, SSE2 otherwise (every
// processor the driver runs on has it). Says nothing of whether the system enabled the state.
ImagingIsa ProcessorCpuImagingIsa();

// The widest instruction set no wider than `isa` whose features (ImagingIsaFeatureMask) are all
// among `enabledFeatures`; SSE2 needs none.
ImagingIsa WidestEnabledImagingIsa(ImagingIsa isa, ULONG64 enabledFeatures);

// The widest instruction set the processor has and whose state the system has enabled
// (RtlGetEnabledExtendedFeatures, looked up at run time); SSE2 on a system without the
// extended-state routines. At PASSIVE_LEVEL.
ImagingIsa ProcessorImagingIsa();

// An upper limit on the set that processors created from now on use, for benchmarks and tests
// that compare the forms; ImagingIsaCount, the initial value, sets none.
void LimitImagingIsa(ImagingIsa limit);
// The set a processor created now uses: ProcessorImagingIsa() within the limit.
ImagingIsa ChosenImagingIsa();
