// Object bags, KsAddItemToObjectBag, KsRemoveItemFromObjectBag and _KsEdit.
#include "object_bag.h"

#include "callback_guard.h"

#include <ntoskrnl/host/verifier.h>

#include <algorithm>

namespace ks {

ObjectBag::~ObjectBag()
{
    FreeAll();
}

NTSTATUS ObjectBag::Add(PVOID item, PFNKSFREE free)
{
    if (item == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // The bag's entry comes from the pool, so low-resource simulation reaches it too.
    if (vf::SimulateAllocationFailure(vf::TagFromText("KsBg"))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::lock_guard<std::mutex> guard(lock_);
    items_.emplace_back(item, free);
    return STATUS_SUCCESS;
}

ULONG ObjectBag::Remove(PVOID item, bool release)
{
    std::vector<std::pair<PVOID, PFNKSFREE>> removed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto end = std::remove_if(items_.begin(), items_.end(), [&](const auto& entry) {
            if (entry.first == item) {
                removed.push_back(entry);
                return true;
            }
            return false;
        });
        items_.erase(end, items_.end());
    }
    if (release && !removed.empty()) {
        Release(removed.front().first, removed.front().second);
    }
    return static_cast<ULONG>(removed.size());
}

bool ObjectBag::Contains(PVOID item)
{
    std::lock_guard<std::mutex> guard(lock_);
    return std::any_of(items_.begin(), items_.end(),
                       [item](const auto& entry) { return entry.first == item; });
}

void ObjectBag::FreeAll()
{
    for (;;) {
        std::pair<PVOID, PFNKSFREE> entry;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (items_.empty()) {
                return;
            }
            entry = items_.back();
            items_.pop_back();
        }
        Release(entry.first, entry.second);
    }
}

void ObjectBag::Release(PVOID item, PFNKSFREE free)
{
    if (free != nullptr) {
        InvokeCallback("object bag release routine", [&] {
            free(item);
            return 0;
        });
    } else {
        ExFreePool(item);
    }
}

}  // namespace ks

extern "C" NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free)
{
    return ks::ObjectBag::FromHandle(ObjectBag)->Add(Item, Free);
}

extern "C" ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free)
{
    return ks::ObjectBag::FromHandle(ObjectBag)->Remove(Item, Free != FALSE);
}

extern "C" NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem,
                                  ULONG NewSize, ULONG OldSize, ULONG Tag)
{
    ks::ObjectBag* bag = ks::ObjectBag::FromHandle(ObjectBag);
    PVOID old = *PointerToPointerToItem;
    if (old != nullptr && bag->Contains(old) && NewSize <= OldSize) {
        return STATUS_SUCCESS;  // already a private copy of sufficient size
    }
    PVOID copy = ExAllocatePoolWithTag(NonPagedPool, NewSize, Tag);
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(copy, NewSize);
    if (old != nullptr) {
        RtlCopyMemory(copy, old, OldSize < NewSize ? OldSize : NewSize);
    }
    NTSTATUS status = bag->Add(copy, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(copy, Tag);
        return status;
    }
    if (old != nullptr && bag->Contains(old)) {
        bag->Remove(old, true);  // an earlier private copy
    }
    *PointerToPointerToItem = copy;
    return STATUS_SUCCESS;
}
