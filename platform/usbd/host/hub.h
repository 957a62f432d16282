// Host-side control of the USB hub: plugging a USB function into a new port (which gives it a
// physical device object and reports it to the PnP manager), unplugging it, the faults a port
// can show, and the port's packet log.
#pragma once

#include "packet_log.h"
#include "usb_function.h"

#include <wdm.h>

#include <memory>
#include <vector>

namespace usbd {

class Port;

class HubPort {
public:
    // Plugs `function` into a new port: creates the port's physical device object, calls the
    // function's Attached and reports the device to the PnP manager with the hardware ids
    // USB\VID_vvvv&PID_pppp&REV_rrrr and USB\VID_vvvv&PID_pppp from its device descriptor.
    // Returns nullptr when the device object cannot be created. The function must outlive the
    // port.
    static std::unique_ptr<HubPort> Attach(UsbFunction& function);
    // Unplugs the function if it is still attached (as Unplug), then deletes the port.
    ~HubPort();
    HubPort(const HubPort&) = delete;
    HubPort& operator=(const HubPort&) = delete;

    // The device object client drivers send their requests to (the bottom of the device stack).
    PDEVICE_OBJECT PhysicalDevice() const;
    // What the PnP manager answered when the device was reported (STATUS_NO_SUCH_DEVICE when no
    // driver is bound to its ids).
    NTSTATUS ReportStatus() const;

    // The device is pulled out: every pending request completes with STATUS_DEVICE_NOT_CONNECTED
    // (USBD_STATUS_DEVICE_GONE), later ones fail at once the same way, the port reports not
    // connected, and the PnP manager surprise-removes the device stack. Waits for all of it.
    void Unplug();
    // Orderly removal through the PnP manager (query-remove, remove); once the stack agreed,
    // the device is unplugged. Returns the PnP manager's status.
    NTSTATUS Remove();

    // Faults, switchable at any time.
    // Every URB submission fails at once (at IofCallDriver) with these statuses, for the next
    // `count` submissions or, with 0, until AcceptSubmissions.
    void RefuseSubmissions(NTSTATUS status, USBD_STATUS urbStatus, unsigned count = 0);
    void AcceptSubmissions();
    // The port becomes disabled while the device stays connected: pending transfers fail with
    // USBD_STATUS_DEV_NOT_RESPONDING, later URBs fail at once, until IOCTL_INTERNAL_USB_RESET_PORT.
    void Disable();
    // The device goes away when the host controller starts its next transfer: that transfer
    // and every other pending one complete with USBD_STATUS_DEVICE_GONE, then the device stack is
    // surprise-removed from a worker thread.
    void UnplugDuringNextTransfer();

    bool Connected() const;
    bool Enabled() const;

    // The bus view: completed bulk and interrupt transfers, oldest first.
    std::vector<PacketRecord> PacketLog() const;
    void ClearPacketLog();

private:
    explicit HubPort(std::unique_ptr<Port> port);
    std::unique_ptr<Port> port_;
};

}  // namespace usbd
