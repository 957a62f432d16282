// The I/O manager's private bookkeeping (platform-internal): pool tags and the per-packet record
// kept beside each IRP, since the packet's own layout is the published one.
#pragma once

#include <wdm.h>

#include <ntoskrnl/host/verifier.h>

namespace io {

// Pool tags of the I/O manager.
constexpr ULONG kIrpTag = vf::TagFromText("Irp ");
constexpr ULONG kMdlTag = vf::TagFromText("Mdl ");
constexpr ULONG kDeviceTag = vf::TagFromText("Devi");
constexpr ULONG kSystemBufferTag = vf::TagFromText("IoSB");

// Bug checks of the I/O manager that the shared bug-check header does not list.
constexpr ULONG kTargetMdlTooSmall = 0x00000040;
constexpr ULONG kCancelStateInCompletedIrp = 0x00000048;

// Starts (or restarts, for a reused packet) the record of a packet.
void TrackIrp(PIRP irp);
// Marks a packet as owned by the I/O manager: completing it finishes the request for the thread
// that built it. `outputLength` bounds the copy-back of a buffered request's output.
void MarkThreaded(PIRP irp, ULONG outputLength);
// Ends the record; stops when a lower driver still owns the packet. `what` names the call.
void ReleaseIrp(PIRP irp, const char* what);
// Frees a packet the I/O manager owns, without the ownership check.
void FreeIrpStorage(PIRP irp);

// IofCallDriver is passing the packet down from the caller's stack level.
void NoteCallDriver(PIRP irp, CHAR callerLevel);
// The completion walk has brought the packet back to `level`. Returns false when the packet is
// not a live, known one.
bool NoteCompletedTo(PIRP irp, CHAR level);
bool IsKnownIrp(PIRP irp);

// Threaded requests: the final step of completion.
struct ThreadedInfo {
    bool threaded = false;
    ULONG outputLength = 0;
};
ThreadedInfo ThreadedInfoOf(PIRP irp);
void FinishThreadedRequest(PIRP irp, ULONG outputLength);

// True once IoDeleteDevice ran for the device; its memory may outlive that while references
// to it are held.
bool IsDeviceDeleted(PDEVICE_OBJECT device);

}  // namespace io
