// Platform self-check: exercises the kernel services stand-in the way a driver would and
// reports what it saw. Exits non-zero on the first failure.
#include <wdm.h>

#include <ntoskrnl/host/verifier.h>

#include <cstdio>

namespace {

int failures = 0;

void Report(const char* what, bool ok)
{
    std::printf("%-48s %s\n", what, ok ? "ok" : "FAILED");
    failures += ok ? 0 : 1;
}

struct WorkerContext {
    KEVENT started;
    KSPIN_LOCK lock;
    LONG counter;
};

void NTAPI Worker(PVOID context)
{
    auto* work = static_cast<WorkerContext*>(context);
    for (int i = 0; i < 1000; ++i) {
        KIRQL old = KfAcquireSpinLock(&work->lock);
        ++work->counter;
        KfReleaseSpinLock(&work->lock, old);
    }
    KeSetEvent(&work->started, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

int main()
{
    ULONG tag = vf::TagFromText("Chk1");
    auto* work = static_cast<WorkerContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WorkerContext), tag));
    Report("pool allocation", work != nullptr);
    if (work == nullptr) {
        return 1;
    }
    KeInitializeEvent(&work->started, NotificationEvent, FALSE);
    KeInitializeSpinLock(&work->lock);
    work->counter = 0;

    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -10 * 1000 * 5;  // 5 ms
    Report("event wait times out while not signalled",
           KeWaitForSingleObject(&work->started, Executive, KernelMode, FALSE, &shortWait) ==
               STATUS_TIMEOUT);

    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Worker, work);
    Report("system thread created", NT_SUCCESS(status));
    PVOID thread = nullptr;
    if (NT_SUCCESS(status)) {
        status = ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr);
        Report("thread object referenced by handle", NT_SUCCESS(status));
        ZwClose(handle);
    }
    for (int i = 0; i < 1000; ++i) {
        KIRQL old = KfAcquireSpinLock(&work->lock);
        ++work->counter;
        KfReleaseSpinLock(&work->lock, old);
    }
    if (thread != nullptr) {
        Report("thread wait returns when the thread ends",
               KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr) ==
                   STATUS_SUCCESS);
        ObfDereferenceObject(thread);
    }
    Report("event signalled by the thread", KeReadStateEvent(&work->started) == 1);
    Report("spin lock kept 2000 increments", work->counter == 2000);
    Report("IRQL back at PASSIVE_LEVEL", KeGetCurrentIrql() == PASSIVE_LEVEL);
    ExFreePoolWithTag(work, tag);

    vf::WaitForSystemThreads();
    Report("no pool or handles left", vf::OutstandingPool().empty() && vf::OpenHandleCount() == 0);
    std::printf(failures == 0 ? "platform self-check passed\n" : "platform self-check FAILED\n");
    return failures == 0 ? 0 : 1;
}
