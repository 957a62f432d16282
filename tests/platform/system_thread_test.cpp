// System threads, thread objects, handles and object references.
#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>
#include <wdm.h>

#include <atomic>

namespace {

struct ThreadWork {
    KEVENT go;
    std::atomic<bool> finished{false};
    std::atomic<bool> pastTerminate{false};
    std::atomic<KIRQL> irql{HIGH_LEVEL};
};

void NTAPI WaitThenFinish(PVOID context)
{
    auto* work = static_cast<ThreadWork*>(context);
    work->irql = KeGetCurrentIrql();
    KeWaitForSingleObject(&work->go, Executive, KernelMode, FALSE, nullptr);
    work->finished = true;
    PsTerminateSystemThread(STATUS_SUCCESS);
    work->pastTerminate = true;
}

// Creates a system thread and keeps a counted reference to its object instead of the handle.
PVOID StartThread(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, context);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    return thread;
}

TEST(SystemThread, ThreadObjectWaitReturnsWhenTheThreadEnds)
{
    ThreadWork work;
    KeInitializeEvent(&work.go, NotificationEvent, FALSE);
    PVOID thread = StartThread(WaitThenFinish, &work);
    ASSERT_NE(thread, nullptr);

    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -20 * 10'000;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &shortWait),
              STATUS_TIMEOUT);
    EXPECT_FALSE(work.finished);

    KeSetEvent(&work.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(work.finished);
    EXPECT_FALSE(work.pastTerminate) << "PsTerminateSystemThread returned to its caller";
    EXPECT_EQ(work.irql, PASSIVE_LEVEL);
    // An ended thread stays signalled.
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(thread);
}

TEST(SystemThread, ObjectOutlivesTheThreadWhileReferenced)
{
    ThreadWork work;
    KeInitializeEvent(&work.go, NotificationEvent, TRUE);
    PVOID thread = StartThread(WaitThenFinish, &work);
    ASSERT_NE(thread, nullptr);
    vf::WaitForSystemThreads();
    EXPECT_EQ(vf::RunningSystemThreads(), 0u);
    EXPECT_EQ(ObReferenceObject(thread), 2);
    EXPECT_EQ(ObDereferenceObject(thread), 1);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ObDereferenceObject(thread), 0);
}

TEST(SystemThread, CreationFailsUnderLowResources)
{
    vf::FailAllocationsWithTag(vf::TagFromText("Thre"));
    HANDLE handle = nullptr;
    ThreadWork work;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitThenFinish, &work),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(vf::RunningSystemThreads(), 0u);
}

TEST(Handles, BadHandlesAndWrongTypesAreRefused)
{
    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, *PsThreadType,
                                        KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);

    ThreadWork work;
    KeInitializeEvent(&work.go, NotificationEvent, TRUE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitThenFinish, &work),
              STATUS_SUCCESS);
    _OBJECT_TYPE* otherType = reinterpret_cast<_OBJECT_TYPE*>(&work);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, otherType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    vf::WaitForSystemThreads();  // the thread uses `work` until it ends
}

TEST(SystemThread, TerminateOutsideASystemThreadIsRefused)
{
    EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
}

void NTAPI LeaveCriticalRegionEntered(PVOID)
{
    KeEnterCriticalRegion();
}

TEST(SystemThreadDeathTest, ThreadEndingInsideACriticalRegionStops)
{
    EXPECT_DEATH(
        {
            PVOID thread = StartThread(LeaveCriticalRegionEntered, nullptr);
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        },
        "critical region still entered at system thread exit.*STOP: 0x00000020");
}

TEST(HandleDeathTest, HandleLeftOpenIsALeak)
{
    EXPECT_DEATH(
        {
            ThreadWork work;
            KeInitializeEvent(&work.go, NotificationEvent, TRUE);
            HANDLE handle = nullptr;
            PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WaitThenFinish, &work);
            vf::WaitForSystemThreads();
            vf::CheckForLeaks("end of test");
        },
        "kernel handles still open at end of test.*STOP: 0x000000C4 \\(0x63, 0x1,");
}

}  // namespace
