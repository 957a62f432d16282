// Device objects: creation, names, the driver's device list, device stacks and references.
#include "io_test_driver.h"

#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>
#include <wdm.h>

#include <cstring>

namespace {

struct Extension {
    ULONG words[10];
};

SIZE_T DeviceBlocksSince(std::uint64_t epoch)
{
    SIZE_T count = 0;
    for (const vf::PoolUsage& usage : vf::OutstandingPool(epoch)) {
        if (vf::TagText(usage.tag) == "Devi") {
            count += usage.count;
        }
    }
    return count;
}

TEST(IoDevice, CreatedDeviceIsInitialisingWithAZeroedExtension)
{
    iotest::TestDriver driver;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.Object(), sizeof(Extension), nullptr, FILE_DEVICE_KS,
                             FILE_DEVICE_SECURE_OPEN, FALSE, &device),
              STATUS_SUCCESS);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Type, IO_TYPE_DEVICE);
    EXPECT_EQ(device->Size, sizeof(DEVICE_OBJECT) + sizeof(Extension));
    EXPECT_EQ(device->DriverObject, driver.Object());
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_KS));
    EXPECT_EQ(device->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(device->Flags, static_cast<ULONG>(DO_DEVICE_INITIALIZING));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->AttachedDevice, nullptr);
    ASSERT_NE(device->DeviceExtension, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(device->DeviceExtension) % 8, 0u);
    Extension zero{};
    EXPECT_EQ(std::memcmp(device->DeviceExtension, &zero, sizeof(zero)), 0);
    ASSERT_NE(device->DeviceObjectExtension, nullptr);
    EXPECT_EQ(device->DeviceObjectExtension->DeviceObject, device);

    PDEVICE_OBJECT bare = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.Object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, TRUE, &bare),
              STATUS_SUCCESS);
    EXPECT_EQ(bare->DeviceExtension, nullptr);
    EXPECT_NE(bare->Flags & DO_EXCLUSIVE, 0u);

    // The driver's list has the newest device first; deleting unlinks.
    EXPECT_EQ(driver.Object()->DeviceObject, bare);
    EXPECT_EQ(bare->NextDevice, device);
    IoDeleteDevice(bare);
    EXPECT_EQ(driver.Object()->DeviceObject, device);
    EXPECT_EQ(device->NextDevice, nullptr);
    IoDeleteDevice(device);
    EXPECT_EQ(driver.Object()->DeviceObject, nullptr);
}

TEST(IoDevice, NamesAreUniqueWhileTheDeviceExists)
{
    iotest::TestDriver driver;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\IoTestCamera0");
    PDEVICE_OBJECT first = nullptr;
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first),
              STATUS_SUCCESS);
    EXPECT_NE(first->Flags & DO_DEVICE_HAS_NAME, 0u);
    EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    IoDeleteDevice(first);
    ASSERT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_SUCCESS);
    IoDeleteDevice(second);
}

TEST(IoDevice, CreationFailsWhenThePoolFails)
{
    iotest::TestDriver driver;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\IoTestNoMemory");
    PDEVICE_OBJECT device = nullptr;
    vf::FailAllocationsWithTag(vf::TagFromText("Devi"));
    EXPECT_EQ(IoCreateDevice(driver.Object(), 16, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(driver.Object()->DeviceObject, nullptr);
    vf::ClearFaultInjection();
    // The failed attempt did not keep the name.
    ASSERT_EQ(IoCreateDevice(driver.Object(), 16, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    IoDeleteDevice(device);
}

TEST(IoDevice, AttachingBuildsAStackThatGrowsUpwards)
{
    iotest::TestDriver driver;
    PDEVICE_OBJECT bottom = driver.CreateDevice(nullptr);
    PDEVICE_OBJECT middle = driver.CreateDevice(nullptr);
    PDEVICE_OBJECT top = driver.CreateDevice(nullptr);
    bottom->AlignmentRequirement = FILE_LONG_ALIGNMENT;

    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    // Attaching to the bottom lands on the current top of its stack.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
    EXPECT_EQ(bottom->AttachedDevice, middle);
    EXPECT_EQ(middle->AttachedDevice, top);
    EXPECT_EQ(middle->StackSize, 2);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(top->AlignmentRequirement, static_cast<ULONG>(FILE_LONG_ALIGNMENT));
    EXPECT_EQ(IoGetAttachedDevice(bottom), top);

    IoDetachDevice(middle);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
    EXPECT_EQ(IoGetAttachedDevice(bottom), middle);
    IoDetachDevice(bottom);
    EXPECT_EQ(IoGetAttachedDevice(bottom), bottom);
    IoDeleteDevice(top);
    IoDeleteDevice(middle);
    IoDeleteDevice(bottom);
}

TEST(IoDevice, ReferencedDeviceOutlivesItsDeletion)
{
    std::uint64_t epoch = vf::MarkPoolEpoch();
    iotest::TestDriver driver;
    PDEVICE_OBJECT lower = driver.CreateDevice(nullptr);
    PDEVICE_OBJECT upper = driver.CreateDevice(nullptr);
    IoAttachDeviceToDeviceStack(upper, lower);

    PDEVICE_OBJECT referenced = IoGetAttachedDeviceReference(lower);
    EXPECT_EQ(referenced, upper);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    EXPECT_EQ(DeviceBlocksSince(epoch), 2u);  // still referenced
    ObDereferenceObject(referenced);
    EXPECT_EQ(DeviceBlocksSince(epoch), 1u);
    IoDeleteDevice(lower);
    EXPECT_EQ(DeviceBlocksSince(epoch), 0u);
}

TEST(IoDevice, DeletedDeviceStaysUntilTheDeviceAboveDetaches)
{
    std::uint64_t epoch = vf::MarkPoolEpoch();
    iotest::TestDriver driver;
    PDEVICE_OBJECT lower = driver.CreateDevice(nullptr);
    PDEVICE_OBJECT upper = driver.CreateDevice(nullptr);
    IoAttachDeviceToDeviceStack(upper, lower);

    IoDeleteDevice(lower);  // the bus driver goes first; the function driver is still on it
    EXPECT_EQ(DeviceBlocksSince(epoch), 2u);
    EXPECT_EQ(lower->AttachedDevice, upper);
    IoDetachDevice(lower);
    EXPECT_EQ(DeviceBlocksSince(epoch), 1u);
    IoDeleteDevice(upper);
    EXPECT_EQ(DeviceBlocksSince(epoch), 0u);
}

TEST(IoDevice, NothingAttachesToADeviceBeingDeleted)
{
    iotest::TestDriver driver;
    PDEVICE_OBJECT lower = driver.CreateDevice(nullptr);
    PDEVICE_OBJECT upper = driver.CreateDevice(nullptr);
    PDEVICE_OBJECT referenced = IoGetAttachedDeviceReference(lower);
    IoDeleteDevice(lower);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), nullptr);
    EXPECT_EQ(upper->StackSize, 1);
    ObDereferenceObject(referenced);
    IoDeleteDevice(upper);
}

}  // namespace
