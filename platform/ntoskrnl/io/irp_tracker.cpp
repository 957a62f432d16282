// The record kept beside every live packet: whether a lower driver owns it and whether the I/O
// manager finishes it for a waiting thread.
#include "io/io_internal.h"

#include <ntoskrnl/host/verifier.h>

#include <mutex>
#include <unordered_map>

namespace io {

namespace {

struct IrpRecord {
    // Stack level of the outermost IofCallDriver not yet completed back; 0 when the packet is
    // with the driver that holds it (never sent, or completed back to its level).
    CHAR outstandingLevel = 0;
    bool threaded = false;
    ULONG outputLength = 0;
};

struct IrpTable {
    std::mutex lock;
    std::unordered_map<PIRP, IrpRecord> records;
};

IrpTable& Table()
{
    static IrpTable* table = new IrpTable;  // lives until exit
    return *table;
}

}  // namespace

void TrackIrp(PIRP irp)
{
    IrpTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    table.records[irp] = IrpRecord{};
}

void MarkThreaded(PIRP irp, ULONG outputLength)
{
    IrpTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    IrpRecord& record = table.records[irp];
    record.threaded = true;
    record.outputLength = outputLength;
}

void ReleaseIrp(PIRP irp, const char* what)
{
    IrpTable& table = Table();
    std::unique_lock<std::mutex> guard(table.lock);
    auto found = table.records.find(irp);
    if (found != table.records.end() && found->second.outstandingLevel != 0) {
        guard.unlock();
        vf::Stop(DRIVER_VERIFIER_IOMANAGER_VIOLATION, vf::IrpFreedWhileOwned,
                 reinterpret_cast<ULONG_PTR>(irp), 0, 0,
                 std::string(what) +
                     " on an IRP that a lower driver still owns (passed down and not completed)");
    }
    if (found != table.records.end()) {
        table.records.erase(found);
    }
}

void FreeIrpStorage(PIRP irp)
{
    {
        IrpTable& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        table.records.erase(irp);
    }
    irp->Type = 0;
    ExFreePoolWithTag(irp, kIrpTag);
}

void NoteCallDriver(PIRP irp, CHAR callerLevel)
{
    IrpTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.records.find(irp);
    if (found != table.records.end() && found->second.outstandingLevel == 0) {
        found->second.outstandingLevel = callerLevel;
    }
}

bool NoteCompletedTo(PIRP irp, CHAR level)
{
    IrpTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.records.find(irp);
    if (found == table.records.end()) {
        return false;
    }
    if (found->second.outstandingLevel != 0 && level >= found->second.outstandingLevel) {
        found->second.outstandingLevel = 0;
    }
    return true;
}

bool IsKnownIrp(PIRP irp)
{
    IrpTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.records.count(irp) != 0;
}

ThreadedInfo ThreadedInfoOf(PIRP irp)
{
    IrpTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.records.find(irp);
    if (found == table.records.end()) {
        return {};
    }
    return {found->second.threaded, found->second.outputLength};
}

}  // namespace io
