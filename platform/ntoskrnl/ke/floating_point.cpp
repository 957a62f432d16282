// Floating-point state save and restore. The saves of a thread nest; the verifier stops on a
// restore that does not match the innermost save.
#include "ke/thread_state.h"

#include <ntoskrnl/host/verifier.h>

#if defined(__i386__) || defined(__x86_64__)
#include <xmmintrin.h>
#define USBCAM_HAVE_X86_FPU 1
#endif

extern "C" NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave)
{
    ke::ThreadState& state = ke::CurrentThreadState();
    if (state.irql > DISPATCH_LEVEL) {
        return STATUS_ILLEGAL_FLOAT_CONTEXT;
    }
    *FloatSave = KFLOATING_SAVE{};
#ifdef USBCAM_HAVE_X86_FPU
    unsigned short controlWord = 0;
    __asm__ volatile("fnstcw %0" : "=m"(controlWord));
    FloatSave->ControlWord = controlWord;
    FloatSave->StatusWord = _mm_getcsr();
#endif
    state.floatingSaves.push_back(FloatSave);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave)
{
    ke::ThreadState& state = ke::CurrentThreadState();
    if (state.floatingSaves.empty() || state.floatingSaves.back() != FloatSave) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, vf::FloatingPointUnbalanced,
                 reinterpret_cast<ULONG_PTR>(FloatSave), state.floatingSaves.size(), 0,
                 "KeRestoreFloatingPointState without the matching innermost save");
    }
    state.floatingSaves.pop_back();
#ifdef USBCAM_HAVE_X86_FPU
    unsigned short controlWord = static_cast<unsigned short>(FloatSave->ControlWord);
    __asm__ volatile("fldcw %0" : : "m"(controlWord));
    _mm_setcsr(FloatSave->StatusWord);
#endif
    return STATUS_SUCCESS;
}
