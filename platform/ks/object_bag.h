// Object bags: items owned by a framework object and released with it (platform-internal).
#pragma once

#include <ks.h>

#include <mutex>
#include <utility>
#include <vector>

namespace ks {

class ObjectBag {
public:
    ObjectBag() = default;
    ~ObjectBag();
    ObjectBag(const ObjectBag&) = delete;
    ObjectBag& operator=(const ObjectBag&) = delete;

    NTSTATUS Add(PVOID item, PFNKSFREE free);
    // Removes the item (releasing it when asked); returns how many references were removed.
    ULONG Remove(PVOID item, bool release);
    bool Contains(PVOID item);
    // Runs every release routine once, newest item first, and empties the bag.
    void FreeAll();

    KSOBJECT_BAG Handle() { return this; }
    static ObjectBag* FromHandle(KSOBJECT_BAG bag) { return static_cast<ObjectBag*>(bag); }

private:
    static void Release(PVOID item, PFNKSFREE free);

    std::mutex lock_;
    std::vector<std::pair<PVOID, PFNKSFREE>> items_;
};

}  // namespace ks
