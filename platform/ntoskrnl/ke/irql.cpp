// Per-thread IRQL. Nothing is masked in user space, but the level is tracked so that the
// verifier can check what each level allows.
#include "ke/thread_state.h"

#include <ntoskrnl/host/verifier.h>

namespace ke {

ThreadState& CurrentThreadState()
{
    thread_local ThreadState state;
    return state;
}

}  // namespace ke

extern "C" KIRQL NTAPI KeGetCurrentIrql(void)
{
    return ke::CurrentThreadState().irql;
}

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    ke::ThreadState& state = ke::CurrentThreadState();
    KIRQL old = state.irql;
    if (NewIrql < old) {
        vf::Stop(IRQL_NOT_GREATER_OR_EQUAL, old, NewIrql, 0, 0,
                 "KeRaiseIrql to a level below the current one");
    }
    state.irql = NewIrql;
    return old;
}

extern "C" void FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    ke::ThreadState& state = ke::CurrentThreadState();
    if (NewIrql > state.irql) {
        vf::Stop(IRQL_NOT_LESS_OR_EQUAL, state.irql, NewIrql, 0, 0,
                 "KeLowerIrql to a level above the current one");
    }
    state.irql = NewIrql;
}
