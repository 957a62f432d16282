// Request packets through a two-level device stack: dispatch order, completion routines and
// their invoke flags, STATUS_MORE_PROCESSING_REQUIRED, pending propagation and the verifier stops
// of the I/O manager.
#include "io_test_driver.h"

#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>
#include <wdm.h>

#include <string>
#include <vector>

namespace {

using iotest::AllocateRequest;
using iotest::CompletionProbe;
using iotest::RecordCompletion;
using iotest::TwoLevelStack;
using Log = std::vector<std::string>;

// Lower driver that completes at once with `status`.
iotest::Handler CompleteWith(Log& log, NTSTATUS status, ULONG_PTR information = 0)
{
    return [&log, status, information](PDEVICE_OBJECT, PIRP irp) {
        log.push_back("lower dispatch");
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

// Lower driver that keeps the packet pending in `held`.
iotest::Handler HoldPending(Log& log, PIRP& held)
{
    return [&log, &held](PDEVICE_OBJECT, PIRP irp) {
        log.push_back("lower dispatch");
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
}

// Upper driver that forwards with a completion routine invoked on everything.
iotest::Handler ForwardWithRoutine(Log& log, TwoLevelStack*& stack, CompletionProbe& probe)
{
    return [&log, &stack, &probe](PDEVICE_OBJECT, PIRP irp) {
        log.push_back("upper dispatch");
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordCompletion, &probe, TRUE, TRUE, TRUE);
        return IoCallDriver(stack->attachedTo, irp);
    };
}

TEST(IoCompletion, RoutinesRunBottomUpWithTheirOwnersDevice)
{
    Log log;
    TwoLevelStack* stack = nullptr;
    CompletionProbe upper{"upper routine", &log};
    CompletionProbe creator{"creator routine", &log, STATUS_MORE_PROCESSING_REQUIRED};
    TwoLevelStack s(CompleteWith(log, STATUS_SUCCESS, 42), ForwardWithRoutine(log, stack, upper));
    stack = &s;
    ASSERT_EQ(s.attachedTo, s.lower);
    EXPECT_EQ(s.upper->StackSize, 2);

    PIRP irp = AllocateRequest(s.upper, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, RecordCompletion, &creator, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(s.upper, irp), STATUS_SUCCESS);

    EXPECT_EQ(log, (Log{"upper dispatch", "lower dispatch", "upper routine", "creator routine"}));
    EXPECT_EQ(upper.device, s.upper);
    EXPECT_EQ(creator.device, nullptr);
    EXPECT_EQ(creator.status, STATUS_SUCCESS);
    EXPECT_FALSE(upper.pendingReturned);
    EXPECT_FALSE(creator.pendingReturned);
    EXPECT_EQ(irp->IoStatus.Information, 42u);
    IoFreeIrp(irp);
}

TEST(IoCompletion, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain)
{
    Log log;
    TwoLevelStack* stack = nullptr;
    CompletionProbe upper{"upper routine", &log, STATUS_MORE_PROCESSING_REQUIRED};
    CompletionProbe creator{"creator routine", &log, STATUS_MORE_PROCESSING_REQUIRED};
    auto upperHandler = [&](PDEVICE_OBJECT, PIRP irp) {
        log.push_back("upper dispatch");
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordCompletion, &upper, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(stack->attachedTo, irp);
        // The routine kept the packet: this driver finishes it with a result of its own.
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, stack->upper);
        log.push_back("upper completes again");
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 7;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    TwoLevelStack s(CompleteWith(log, STATUS_UNSUCCESSFUL), upperHandler);
    stack = &s;

    PIRP irp = AllocateRequest(s.upper, IRP_MJ_PNP);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, RecordCompletion, &creator, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(s.upper, irp), STATUS_SUCCESS);

    EXPECT_EQ(log, (Log{"upper dispatch", "lower dispatch", "upper routine",
                        "upper completes again", "creator routine"}));
    EXPECT_EQ(upper.calls, 1);
    EXPECT_EQ(upper.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(creator.calls, 1);
    EXPECT_EQ(creator.status, STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
}

TEST(IoCompletion, InvokeFlagsSelectSuccessErrorAndCancel)
{
    struct Outcome {
        const char* name;
        NTSTATUS status;
        BOOLEAN cancel;
    };
    const Outcome outcomes[] = {{"success", STATUS_SUCCESS, FALSE},
                                {"warning", STATUS_BUFFER_OVERFLOW, FALSE},
                                {"error", STATUS_UNSUCCESSFUL, FALSE},
                                {"cancelled", STATUS_CANCELLED, TRUE},
                                {"cancel flag, success", STATUS_SUCCESS, TRUE}};
    for (const Outcome& outcome : outcomes) {
        for (int flags = 0; flags < 8; ++flags) {
            bool onSuccess = flags & 1, onError = flags & 2, onCancel = flags & 4;
            SCOPED_TRACE(std::string(outcome.name) + ", flags " + std::to_string(flags));
            Log log;
            TwoLevelStack* stack = nullptr;
            CompletionProbe upper{"upper routine", &log};
            CompletionProbe creator{"creator routine", &log, STATUS_MORE_PROCESSING_REQUIRED};
            auto lowerHandler = [&](PDEVICE_OBJECT, PIRP irp) {
                irp->Cancel = outcome.cancel;
                irp->IoStatus.Status = outcome.status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return outcome.status;
            };
            auto upperHandler = [&](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, RecordCompletion, &upper, onSuccess, onError, onCancel);
                return IoCallDriver(stack->attachedTo, irp);
            };
            TwoLevelStack s(lowerHandler, upperHandler);
            stack = &s;
            PIRP irp = AllocateRequest(s.upper, IRP_MJ_READ);
            ASSERT_NE(irp, nullptr);
            IoSetCompletionRoutine(irp, RecordCompletion, &creator, TRUE, TRUE, TRUE);
            IoCallDriver(s.upper, irp);

            bool expected = (NT_SUCCESS(outcome.status) && onSuccess) ||
                            (!NT_SUCCESS(outcome.status) && onError) ||
                            (outcome.cancel && onCancel);
            EXPECT_EQ(upper.calls, expected ? 1 : 0);
            EXPECT_EQ(creator.calls, 1);  // the walk goes on past a routine that is not invoked
            IoFreeIrp(irp);
        }
    }
}

TEST(IoCompletion, PendingReturnedReachesEveryLevelAbove)
{
    enum class Forward { WithRoutine, CopyOnly, Skip };
    for (Forward forward : {Forward::WithRoutine, Forward::CopyOnly, Forward::Skip}) {
        SCOPED_TRACE(static_cast<int>(forward));
        Log log;
        PIRP held = nullptr;
        TwoLevelStack* stack = nullptr;
        CompletionProbe upper{"upper routine", &log};
        CompletionProbe creator{"creator routine", &log, STATUS_MORE_PROCESSING_REQUIRED};
        auto upperHandler = [&](PDEVICE_OBJECT, PIRP irp) {
            if (forward == Forward::Skip) {
                IoSkipCurrentIrpStackLocation(irp);
            } else {
                IoCopyCurrentIrpStackLocationToNext(irp);
            }
            if (forward == Forward::WithRoutine) {
                IoSetCompletionRoutine(irp, RecordCompletion, &upper, TRUE, TRUE, TRUE);
            }
            return IoCallDriver(stack->attachedTo, irp);
        };
        TwoLevelStack s(HoldPending(log, held), upperHandler);
        stack = &s;

        PIRP irp = AllocateRequest(s.upper, IRP_MJ_READ, forward == Forward::Skip);
        ASSERT_NE(irp, nullptr);
        IoSetCompletionRoutine(irp, RecordCompletion, &creator, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(s.upper, irp), STATUS_PENDING);
        ASSERT_EQ(held, irp);
        EXPECT_EQ(creator.calls, 0);

        held->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(held, IO_NO_INCREMENT);
        EXPECT_EQ(upper.calls, forward == Forward::WithRoutine ? 1 : 0);
        if (forward == Forward::WithRoutine) {
            EXPECT_TRUE(upper.pendingReturned);
        }
        // Without a routine in between, the I/O manager carries the mark up a level itself.
        EXPECT_EQ(creator.calls, 1);
        EXPECT_TRUE(creator.pendingReturned);
        IoFreeIrp(irp);
    }
}

TEST(IoCompletion, RoutinesRunAtTheCompletingIrql)
{
    Log log;
    PIRP held = nullptr;
    CompletionProbe creator{"creator routine", &log, STATUS_MORE_PROCESSING_REQUIRED};
    iotest::TestDriver driver;
    PDEVICE_OBJECT device = driver.CreateDevice(HoldPending(log, held));
    PIRP irp = AllocateRequest(device, IRP_MJ_READ);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, RecordCompletion, &creator, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);

    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    KfLowerIrql(old);
    EXPECT_EQ(creator.irql, DISPATCH_LEVEL);
    IoFreeIrp(irp);
    IoDeleteDevice(device);
}

TEST(IoCompletion, UnhandledMajorFunctionCompletesAsInvalidRequest)
{
    iotest::TestDriver driver;
    PDEVICE_OBJECT device = driver.CreateDevice(nullptr);
    driver.Object()->MajorFunction[IRP_MJ_WRITE] = nullptr;
    CompletionProbe creator{"creator routine", nullptr, STATUS_MORE_PROCESSING_REQUIRED};
    PIRP irp = AllocateRequest(device, IRP_MJ_WRITE);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, RecordCompletion, &creator, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(creator.status, STATUS_INVALID_DEVICE_REQUEST);
    IoFreeIrp(irp);
    IoDeleteDevice(device);
}

TEST(IoIrp, AllocatedPacketStartsAboveItsLocations)
{
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->Type, IO_TYPE_IRP);
    EXPECT_EQ(irp->Size, IoSizeOfIrp(3));
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(irp->MdlAddress, nullptr);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_FALSE(irp->Cancel);
    auto first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);

    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    irp->Cancel = TRUE;
    IoSetNextIrpStackLocation(irp);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(irp->Cancel);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
    IoFreeIrp(irp);
}

TEST(IoIrp, AllocationFailsUnderInjectedPoolFailure)
{
    vf::FailAllocationsWithTag(vf::TagFromText("Irp "));
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    vf::ClearFaultInjection();
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    // The packet is pool memory under the I/O manager's tag, so a leak names it.
    std::uint64_t epoch = vf::MarkPoolEpoch();
    PIRP leaked = IoAllocateIrp(1, FALSE);
    std::vector<vf::PoolUsage> usage = vf::OutstandingPool(epoch);
    ASSERT_EQ(usage.size(), 1u);
    EXPECT_EQ(vf::TagText(usage[0].tag), "Irp ");
    IoFreeIrp(leaked);
    IoFreeIrp(irp);
}

TEST(IoIrpDeathTest, CompletingTwiceStops)
{
    Log log;
    iotest::TestDriver driver;
    PDEVICE_OBJECT device = driver.CreateDevice(CompleteWith(log, STATUS_SUCCESS));
    EXPECT_DEATH(
        {
            PIRP irp = AllocateRequest(device, IRP_MJ_READ);
            IoCallDriver(device, irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "STOP: 0x00000044");
    IoDeleteDevice(device);
}

TEST(IoIrpDeathTest, FreeingWhileALowerDriverOwnsThePacketStops)
{
    Log log;
    PIRP held = nullptr;
    iotest::TestDriver driver;
    PDEVICE_OBJECT device = driver.CreateDevice(HoldPending(log, held));
    EXPECT_DEATH(
        {
            PIRP irp = AllocateRequest(device, IRP_MJ_READ);
            IoCallDriver(device, irp);
            IoFreeIrp(irp);
        },
        "STOP: 0x000000C9 \\(0x210,");
    IoDeleteDevice(device);
}

TEST(IoIrpDeathTest, PassingDownWithoutALocationLeftStops)
{
    Log log;
    TwoLevelStack* stack = nullptr;
    // The upper driver passes the packet on without looking at the location it needs.
    auto forwardBlindly = [&stack](PDEVICE_OBJECT, PIRP irp) {
        return IoCallDriver(stack->attachedTo, irp);
    };
    TwoLevelStack s(CompleteWith(log, STATUS_SUCCESS), forwardBlindly);
    stack = &s;
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);  // the stack needs two
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoCallDriver(s.upper, irp);
        },
        "STOP: 0x00000035");
}

TEST(IoIrpDeathTest, CompletingAboveDispatchLevelStops)
{
    Log log;
    PIRP held = nullptr;
    iotest::TestDriver driver;
    PDEVICE_OBJECT device = driver.CreateDevice(HoldPending(log, held));
    EXPECT_DEATH(
        {
            PIRP irp = AllocateRequest(device, IRP_MJ_READ);
            IoCallDriver(device, irp);
            KfRaiseIrql(DISPATCH_LEVEL + 1);
            IoCompleteRequest(held, IO_NO_INCREMENT);
        },
        "STOP: 0x0000000A");
    IoDeleteDevice(device);
}

}  // namespace
