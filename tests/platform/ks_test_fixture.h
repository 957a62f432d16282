// The fixture of the framework tests: binds the test minidriver to a hardware id, lets a plain bus
// device with that id arrive (driver load, AddDevice, start) and removes it again at the end, so
// the driver unloads after every test and the PnP manager's leak check runs for it.
#pragma once

#include "ks_test_minidriver.h"

#include <gtest/gtest.h>

#include <ks/user/ks_client.h>
#include <ntoskrnl/host/pnp.h>

#include <string>
#include <vector>

namespace kstest {

class KsFrameworkTest : public testing::Test {
protected:
    // The driver's behaviour for this test; override to change it before the device arrives.
    virtual Config TestConfig() const { return Config(); }

    void SetUp() override
    {
        Reset(TestConfig());
        pnp::RegisterDriver(ServiceName, DriverEntry, {HardwareId});
        ASSERT_EQ(Arrive(device_, L"1"), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (device_ != nullptr) {
            Leave(device_);
        }
    }

    // A device with the test hardware id arrives; the status of its start.
    static NTSTATUS Arrive(PDEVICE_OBJECT& device, const rtl::WideString& instance)
    {
        device = pnp::CreatePlainBusDevice();
        if (device == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        return pnp::ReportDevice(device, pnp::DeviceIdentity{{HardwareId}, instance});
    }

    // Orderly removal, then the bus forgets the device.
    static NTSTATUS Leave(PDEVICE_OBJECT& device)
    {
        NTSTATUS status = pnp::RemoveDevice(device);
        pnp::DeletePlainBusDevice(device);
        device = nullptr;
        return status;
    }

    // Opens the test filter through the video category.
    static void OpenFilter(ksclient::Filter& filter)
    {
        ASSERT_EQ(ksclient::Filter::OpenFirst(KSCATEGORY_VIDEO, filter), STATUS_SUCCESS);
        ASSERT_TRUE(filter);
    }

    // Creates the pin with the format the driver offers.
    static NTSTATUS CreateVideoPin(const ksclient::Filter& filter, ksclient::Pin& pin)
    {
        KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat();
        return filter.CreatePin(0, &format, sizeof(format), pin);
    }

    PDEVICE_OBJECT device_ = nullptr;
};

// A fixture with one open filter and one video pin on it, both closed at the end.
class KsOpenPinTest : public KsFrameworkTest {
protected:
    void SetUp() override
    {
        KsFrameworkTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        OpenFilter(filter_);
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(CreateVideoPin(filter_, pin_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        pin_.Close();
        filter_.Close();
        KsFrameworkTest::TearDown();
    }

    ksclient::Filter filter_;
    ksclient::Pin pin_;
};

}  // namespace kstest
