// A function plugged into a hub port is reported to the PnP manager, which loads the driver
// bound to its hardware id; unplugging it surprise-removes the driver's device.
#include "usbd_test_function.h"

#include <ntoskrnl/host/pnp.h>

#include <string>

namespace {

// What the bound test driver saw.
struct DriverRecord {
    int addDevice = 0;
    PDEVICE_OBJECT physicalDevice = nullptr;
    std::vector<UCHAR> pnp;
    NTSTATUS portStatusAtStart = STATUS_PENDING;
    ULONG portBitsAtStart = 0;
};
DriverRecord g_record;

struct FunctionalExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI TestDispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto* extension = static_cast<FunctionalExtension*>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    g_record.pnp.push_back(minor);
    PDEVICE_OBJECT lower = extension->lower;
    if (minor == IRP_MN_START_DEVICE) {
        // The port answers requests while the driver starts.
        ULONG bits = 0;
        g_record.portStatusAtStart =
            usbdtest::SendInternal(lower, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits);
        g_record.portBitsAtStart = bits;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS NTAPI TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    g_record.addDevice++;
    g_record.physicalDevice = physicalDevice;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionalExtension), nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* extension = static_cast<FunctionalExtension*>(device->DeviceExtension);
    extension->lower = IoAttachDeviceToDeviceStack(device, physicalDevice);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = TestAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = TestDispatchPnp;
    return STATUS_SUCCESS;
}

class UsbPnp : public testing::Test {
protected:
    void SetUp() override { g_record = DriverRecord{}; }
    void TearDown() override { pnp::ClearDriverBindings(); }
};

TEST_F(UsbPnp, AttachReportsTheDeviceAndDetachSurpriseRemovesIt)
{
    // Bound by the less specific id: the port reports both.
    pnp::RegisterDriver(L"usbdtestcam", TestDriverEntry, {L"USB\\VID_ABCD&PID_0042"});
    usbdtest::TestFunction function(0xABCD, 0x0042, 0x0100);
    auto port = usbd::HubPort::Attach(function);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->ReportStatus(), STATUS_SUCCESS);
    EXPECT_EQ(function.AttachedCount(), 1);
    EXPECT_EQ(g_record.addDevice, 1);
    EXPECT_EQ(g_record.physicalDevice, port->PhysicalDevice());
    EXPECT_EQ(g_record.pnp, std::vector<UCHAR>{IRP_MN_START_DEVICE});
    EXPECT_EQ(g_record.portStatusAtStart, STATUS_SUCCESS);
    EXPECT_EQ(g_record.portBitsAtStart, ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});
    EXPECT_TRUE(pnp::IsDriverLoaded(L"usbdtestcam"));
    EXPECT_NE(pnp::TopOfStack(port->PhysicalDevice()), port->PhysicalDevice());

    port->Unplug();
    EXPECT_EQ(g_record.pnp, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                                                IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(function.DetachedCount(), 1);
    EXPECT_FALSE(pnp::IsDriverLoaded(L"usbdtestcam"));
    EXPECT_EQ(pnp::TopOfStack(port->PhysicalDevice()), port->PhysicalDevice());
    port.reset();
    EXPECT_EQ(function.DetachedCount(), 1);
}

TEST_F(UsbPnp, TheMostSpecificIdCarriesTheRevision)
{
    pnp::RegisterDriver(L"usbdtestrev", TestDriverEntry, {L"USB\\VID_ABCD&PID_0043&REV_0207"});
    usbdtest::TestFunction other(0xABCD, 0x0043, 0x0206);
    auto unbound = usbd::HubPort::Attach(other);
    ASSERT_NE(unbound, nullptr);
    EXPECT_EQ(unbound->ReportStatus(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(g_record.addDevice, 0);

    usbdtest::TestFunction function(0xABCD, 0x0043, 0x0207);
    auto port = usbd::HubPort::Attach(function);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->ReportStatus(), STATUS_SUCCESS);
    EXPECT_EQ(g_record.addDevice, 1);
}

TEST_F(UsbPnp, OrderlyRemovalThenTheDeviceIsOffTheBus)
{
    pnp::RegisterDriver(L"usbdtestrm", TestDriverEntry, {L"USB\\VID_ABCD&PID_0044"});
    usbdtest::TestFunction function(0xABCD, 0x0044);
    auto port = usbd::HubPort::Attach(function);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(port->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(g_record.pnp, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                                IRP_MN_REMOVE_DEVICE}));
    EXPECT_FALSE(port->Connected());
    EXPECT_EQ(function.DetachedCount(), 1);
    EXPECT_FALSE(pnp::IsDriverLoaded(L"usbdtestrm"));
}

}  // namespace
