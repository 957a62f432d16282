// Cancellation of request packets: cancel routines, the cancel spin lock and IoCancelIrp.
#include "io_test_driver.h"

#include <gtest/gtest.h>

#include <wdm.h>

#include <string>
#include <vector>

namespace {

using iotest::AllocateRequest;
using iotest::CompletionProbe;
using iotest::RecordCompletion;
using iotest::TwoLevelStack;

// What the lower driver's cancel routine saw.
struct CancelRecord {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    KIRQL irqlOnEntry = 0;
    BOOLEAN cancel = FALSE;
    PDRIVER_CANCEL routineStillSet = nullptr;
};
CancelRecord g_cancelRecord;

void NTAPI CancelPendingRead(PDEVICE_OBJECT device, PIRP irp)
{
    g_cancelRecord.calls++;
    g_cancelRecord.device = device;
    g_cancelRecord.irqlOnEntry = KeGetCurrentIrql();
    g_cancelRecord.cancel = irp->Cancel;
    g_cancelRecord.routineStillSet = irp->CancelRoutine;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

class IoCancel : public testing::Test {
protected:
    void SetUp() override { g_cancelRecord = CancelRecord{}; }
};

TEST_F(IoCancel, PendingPacketIsCancelledThroughTheLowerDriversRoutine)
{
    std::vector<std::string> log;
    TwoLevelStack* stack = nullptr;
    CompletionProbe upper{"upper routine", &log};
    CompletionProbe creator{"creator routine", &log, STATUS_MORE_PROCESSING_REQUIRED};
    auto lowerHandler = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        EXPECT_EQ(IoSetCancelRoutine(irp, CancelPendingRead), nullptr);
        return STATUS_PENDING;
    };
    auto upperHandler = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        // Only on cancel: the error flag must not be what brings the routine in.
        IoSetCompletionRoutine(irp, RecordCompletion, &upper, FALSE, FALSE, TRUE);
        return IoCallDriver(stack->attachedTo, irp);
    };
    TwoLevelStack s(lowerHandler, upperHandler);
    stack = &s;

    PIRP irp = AllocateRequest(s.upper, IRP_MJ_READ);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, RecordCompletion, &creator, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(s.upper, irp), STATUS_PENDING);
    EXPECT_EQ(upper.calls, 0);

    EXPECT_TRUE(IoCancelIrp(irp));

    EXPECT_EQ(g_cancelRecord.calls, 1);
    EXPECT_EQ(g_cancelRecord.device, s.lower);
    EXPECT_EQ(g_cancelRecord.irqlOnEntry, DISPATCH_LEVEL);  // with the cancel spin lock held
    EXPECT_TRUE(g_cancelRecord.cancel);
    EXPECT_EQ(g_cancelRecord.routineStillSet, nullptr);  // taken off before it is called
    EXPECT_EQ(log, (std::vector<std::string>{"upper routine", "creator routine"}));
    EXPECT_EQ(upper.status, STATUS_CANCELLED);
    EXPECT_TRUE(upper.cancel);
    EXPECT_TRUE(upper.pendingReturned);
    EXPECT_EQ(creator.status, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // A second cancel finds no routine.
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(g_cancelRecord.calls, 1);
    IoFreeIrp(irp);
}

TEST_F(IoCancel, PacketWithoutCancelRoutineIsOnlyMarked)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // the cancel spin lock was released
    EXPECT_EQ(g_cancelRecord.calls, 0);
    IoFreeIrp(irp);
}

TEST_F(IoCancel, RoutineRemovedBeforeCancelIsNotCalled)
{
    PIRP held = nullptr;
    iotest::TestDriver driver;
    PDEVICE_OBJECT device = driver.CreateDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelPendingRead);
        held = irp;
        return STATUS_PENDING;
    });
    PIRP irp = AllocateRequest(device, IRP_MJ_READ);
    ASSERT_NE(irp, nullptr);
    ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);

    // The driver takes the packet back to complete it: the exchange hands it the old routine.
    EXPECT_EQ(IoSetCancelRoutine(held, nullptr), CancelPendingRead);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(g_cancelRecord.calls, 0);
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    IoFreeIrp(irp);
    IoDeleteDevice(device);
}

TEST_F(IoCancel, CancelSpinLockRaisesToDispatchAndRestores)
{
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
