// The user-mode calls: file objects and handles for filters and pins, requests sent to the
// device stack as IRPs, and waits for their completion.
#include "ksuser.h"

#include "../framework_objects.h"
#include "../reference_clock.h"

#include <ntoskrnl/host/io_wait.h>
#include <ntoskrnl/ob/object_manager.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace {

_OBJECT_TYPE FileObjectType{"File"};
_OBJECT_TYPE RequestObjectType{"KsStreamRequest"};

// An open filter or pin: the file object the framework sees, and the device it was opened on.
class UserFile final : public ob::Object {
public:
    UserFile() : ob::Object(&FileObjectType, this) {}
    FILE_OBJECT file{};
    PDEVICE_OBJECT device = nullptr;
    std::vector<std::uint8_t> name;  // storage of file.FileName
    UserFile* related = nullptr;     // the filter of a pin (referenced)
    ~UserFile() override
    {
        if (related != nullptr) {
            related->Dereference();
        }
        if (device != nullptr) {
            ObfDereferenceObject(device);
        }
    }
};

// A frame queued on a pin: the request packet and its completion.
class StreamRequest final : public ob::Object {
public:
    StreamRequest() : ob::Object(&RequestObjectType, this)
    {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
    }
    ~StreamRequest() override
    {
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
        if (pin != nullptr) {
            pin->Dereference();
        }
    }
    KEVENT done;
    PIRP irp = nullptr;
    UserFile* pin = nullptr;
};

// Looks a handle up as a file; nullptr (with a new reference otherwise).
UserFile* FileByHandle(HANDLE handle)
{
    ob::Object* object = ob::ReferenceByHandle(handle);
    if (object == nullptr) {
        return nullptr;
    }
    if (object->Type() != &FileObjectType) {
        object->Dereference();
        return nullptr;
    }
    return static_cast<UserFile*>(object);
}

// Whether the device behind a file is still there; call with the lifetime lock held.
bool DeviceAlive(PDEVICE_OBJECT device)
{
    ks::Device* framework = ks::DeviceOfFunctionalDevice(device);
    return framework != nullptr && !framework->removed;
}

// The I/O manager's close must succeed: without memory for its packet it waits and tries again
// (for ten seconds at most here, so that a test that withholds memory for good still ends).
PIRP AllocateMustSucceedIrp(CCHAR stackSize)
{
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    for (int retry = 0; irp == nullptr && retry < 10'000; ++retry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        irp = IoAllocateIrp(stackSize, FALSE);
    }
    return irp;
}

// Builds a request for the file's device and sends it; `prepare` fills the stack location.
// Call with the lifetime lock held.
template <typename Prepare>
NTSTATUS SendLockedRequest(UserFile* file, Prepare&& prepare, ULONG_PTR* information,
                           bool mustSucceed = false)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->device);
    PIRP irp = mustSucceed ? AllocateMustSucceedIrp(top->StackSize)
                           : IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->FileObject = &file->file;
    prepare(irp, stack);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, io::SignalEventOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, UserMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    if (information != nullptr) {
        *information = irp->IoStatus.Information;
    }
    IoFreeIrp(irp);
    return status;
}

// A request on an open file: refused once the device was removed.
template <typename Prepare>
NTSTATUS SendRequest(UserFile* file, Prepare&& prepare, ULONG_PTR* information)
{
    std::shared_lock<std::shared_mutex> gate(ks::DeviceLifetimeLock());
    if (!DeviceAlive(file->device)) {
        return STATUS_DEVICE_REMOVED;
    }
    return SendLockedRequest(file, prepare, information);
}

// The close of a file, as the I/O manager sends it once nothing else uses the file object: no
// other request on the device is in progress (the lifetime lock is held exclusively), and it
// reaches the framework also after a surprise removal, until the removal itself has closed
// what was left open.
void SendClose(UserFile* file)
{
    std::unique_lock<std::shared_mutex> gate(ks::DeviceLifetimeLock());
    if (ks::DeviceOfFunctionalDevice(file->device) == nullptr || file->file.FsContext == nullptr) {
        return;
    }
    SendLockedRequest(
        file, [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_CLOSE; }, nullptr,
        true);
}

// `device` comes with a reference, which the new file takes over.
NTSTATUS OpenFile(PDEVICE_OBJECT device, UserFile* related, std::vector<std::uint8_t> name,
                  PHANDLE handle)
{
    auto* file = new UserFile;
    // The handle keeps the device object's memory, so that a call after the device was
    // removed finds it marked removed instead of reading freed memory.
    file->device = device;
    file->name = std::move(name);
    file->file.Type = 5;
    file->file.Size = sizeof(FILE_OBJECT);
    file->file.DeviceObject = device;
    file->file.FileName.Buffer = reinterpret_cast<PWCH>(file->name.data());
    file->file.FileName.Length = static_cast<USHORT>(file->name.size());
    file->file.FileName.MaximumLength = file->file.FileName.Length;
    if (related != nullptr) {
        related->Reference();
        file->related = related;
        file->file.RelatedFileObject = &related->file;
    }
    NTSTATUS status = SendRequest(
        file, [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_CREATE; },
        nullptr);
    if (!NT_SUCCESS(status)) {
        file->Dereference();
        return status;
    }
    *handle = ob::CreateHandle(file);
    file->Dereference();
    return STATUS_SUCCESS;
}

std::vector<std::uint8_t> NameBytes(const rtl::WideString& text)
{
    std::vector<std::uint8_t> bytes(text.size() * sizeof(WCHAR));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

}  // namespace

std::vector<rtl::WideString> KsEnumerateFilters(const GUID& category)
{
    return ks::LinksForCategory(category);
}

NTSTATUS KsOpenFilter(const rtl::WideString& symbolicLink, PHANDLE FilterHandle)
{
    *FilterHandle = nullptr;
    rtl::WideString reference;
    PDEVICE_OBJECT device = nullptr;
    {
        std::shared_lock<std::shared_mutex> gate(ks::DeviceLifetimeLock());
        // Referenced while the device cannot be removed, so the object is still there; the
        // open takes the reference over.
        device = ks::ReferenceDeviceForLink(symbolicLink, reference);
    }
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return OpenFile(device, nullptr, NameBytes(L"\\" + reference), FilterHandle);
}

NTSTATUS KsSynchronousDeviceControl(HANDLE Handle, ULONG IoControl, PVOID InBuffer,
                                    ULONG InLength, PVOID OutBuffer, ULONG OutLength,
                                    PULONG BytesReturned)
{
    if (BytesReturned != nullptr) {
        *BytesReturned = 0;
    }
    UserFile* file = FileByHandle(Handle);
    if (file == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    ULONG_PTR information = 0;
    NTSTATUS status = SendRequest(
        file,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            stack->Parameters.DeviceIoControl.IoControlCode = IoControl;
            stack->Parameters.DeviceIoControl.Type3InputBuffer = InBuffer;
            stack->Parameters.DeviceIoControl.InputBufferLength = InLength;
            stack->Parameters.DeviceIoControl.OutputBufferLength = OutLength;
            irp->UserBuffer = OutBuffer;
        },
        &information);
    file->Dereference();
    if (BytesReturned != nullptr) {
        *BytesReturned = static_cast<ULONG>(information);
    }
    return status;
}

NTSTATUS KsCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                     PHANDLE ConnectionHandle)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    *ConnectionHandle = nullptr;
    UserFile* filter = FileByHandle(FilterHandle);
    if (filter == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (filter->related != nullptr || Connect == nullptr) {
        filter->Dereference();
        return STATUS_INVALID_PARAMETER;
    }
    // The create name: the pin create name, then the KSPIN_CONNECT and the format.
    KSDATAFORMAT format;
    std::memcpy(&format, Connect + 1, sizeof format);
    // The name's length is 16 bits: FormatSize is the caller's, added in 64 bits.
    std::size_t prefix = (sizeof(ks::kPinCreateName) / sizeof(WCHAR) - 1) * sizeof(WCHAR);
    std::uint64_t payload = std::uint64_t{sizeof(KSPIN_CONNECT)} + format.FormatSize;
    if (format.FormatSize < sizeof(KSDATAFORMAT) || prefix + payload > 0xFFF0) {
        filter->Dereference();
        return STATUS_INVALID_PARAMETER;
    }
    auto payloadBytes = static_cast<std::size_t>(payload);
    std::vector<std::uint8_t> name(prefix + payloadBytes);
    std::memcpy(name.data(), ks::kPinCreateName, prefix);
    std::memcpy(name.data() + prefix, Connect, payloadBytes);
    ObfReferenceObject(filter->device);
    NTSTATUS status = OpenFile(filter->device, filter, std::move(name), ConnectionHandle);
    filter->Dereference();
    return status;
}

NTSTATUS KsQueueFrame(HANDLE PinHandle, PKSSTREAM_HEADER Header, PHANDLE RequestHandle)
{
    *RequestHandle = nullptr;
    UserFile* pin = FileByHandle(PinHandle);
    if (pin == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (pin->related == nullptr || Header == nullptr) {
        pin->Dereference();
        return STATUS_INVALID_PARAMETER;
    }
    auto* request = new StreamRequest;
    request->pin = pin;  // takes over the reference
    std::shared_lock<std::shared_mutex> gate(ks::DeviceLifetimeLock());
    if (!DeviceAlive(pin->device)) {
        request->Dereference();
        return STATUS_DEVICE_REMOVED;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(pin->device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        request->Dereference();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->irp = irp;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = UserMode;
    irp->UserBuffer = Header;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->FileObject = &pin->file;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_READ_STREAM;
    stack->Parameters.DeviceIoControl.OutputBufferLength = Header->Size;
    IoSetCompletionRoutine(irp, io::SignalEventOnCompletion, &request->done, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    *RequestHandle = ob::CreateHandle(request);
    request->Dereference();
    return STATUS_SUCCESS;
}

namespace {

StreamRequest* RequestByHandle(HANDLE handle)
{
    ob::Object* object = ob::ReferenceByHandle(handle);
    if (object == nullptr) {
        return nullptr;
    }
    if (object->Type() != &RequestObjectType) {
        object->Dereference();
        return nullptr;
    }
    return static_cast<StreamRequest*>(object);
}

}  // namespace

NTSTATUS KsWaitFrame(HANDLE RequestHandle, ULONG TimeoutMs)
{
    StreamRequest* request = RequestByHandle(RequestHandle);
    if (request == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(TimeoutMs) * 10'000;
    NTSTATUS status = KeWaitForSingleObject(&request->done, Executive, UserMode, FALSE, &timeout);
    if (status == STATUS_SUCCESS) {
        status = request->irp->IoStatus.Status;
    }
    request->Dereference();
    return status;
}

NTSTATUS KsCancelFrame(HANDLE RequestHandle)
{
    StreamRequest* request = RequestByHandle(RequestHandle);
    if (request == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    IoCancelIrp(request->irp);
    KeWaitForSingleObject(&request->done, Executive, UserMode, FALSE, nullptr);
    NTSTATUS status = request->irp->IoStatus.Status;
    request->Dereference();
    return status;
}

NTSTATUS KsReadStream(HANDLE PinHandle, PKSSTREAM_HEADER Header, ULONG TimeoutMs)
{
    HANDLE request = nullptr;
    NTSTATUS status = KsQueueFrame(PinHandle, Header, &request);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = KsWaitFrame(request, TimeoutMs);
    if (status == STATUS_TIMEOUT) {
        KsCancelFrame(request);
    }
    KsCloseHandle(request);
    return status;
}

NTSTATUS KsCreateDefaultClock(PHANDLE ClockHandle)
{
    auto* clock = new ks::ClockObject;
    *ClockHandle = ob::CreateHandle(clock);
    clock->Dereference();
    return STATUS_SUCCESS;
}

NTSTATUS KsCloseHandle(HANDLE Handle)
{
    ob::Object* object = ob::ReferenceByHandle(Handle);
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (object->Type() == &FileObjectType) {
        SendClose(static_cast<UserFile*>(object));
    } else if (object->Type() == &RequestObjectType) {
        auto* request = static_cast<StreamRequest*>(object);
        // A frame still queued is cancelled first: its buffer belongs to the caller.
        IoCancelIrp(request->irp);
        KeWaitForSingleObject(&request->done, Executive, UserMode, FALSE, nullptr);
    }
    object->Dereference();
    return ob::CloseHandle(Handle);
}
