// The information records that ZwQueryValueKey, ZwEnumerateValueKey and ZwEnumerateKey fill
// (platform-internal).
//
// Buffer rules, as the platform publishes them: *ResultLength is always set to the size the
// whole record needs. A buffer shorter than the record's fixed part gives
// STATUS_BUFFER_TOO_SMALL and nothing is written. A buffer that holds the fixed part but not
// the whole record gives STATUS_BUFFER_OVERFLOW: the fixed part is filled, a name is copied as
// far as it fits, data is not copied.
#pragma once

#include "config/hive.h"
#include "config/key_object.h"
#include "config/registry_state.h"

#include <wdm.h>

#include <mutex>

namespace cm {

// STATUS_INVALID_PARAMETER when ResultLength is missing or a non-empty buffer is.
NTSTATUS CheckInformationBuffer(PVOID buffer, ULONG length, PULONG resultLength);

NTSTATUS FillValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS informationClass,
                              PVOID buffer, ULONG length, PULONG resultLength);

// KeyBasicInformation and KeyNodeInformation; other classes give STATUS_INVALID_PARAMETER.
NTSTATUS FillKeyInformation(const KeyNode& key, KEY_INFORMATION_CLASS informationClass,
                            PVOID buffer, ULONG length, PULONG resultLength);

// The common part of the information calls: checks the caller's buffer, then runs `fill` on
// the key's node under the registry lock unless the key has been deleted.
template <typename Fill>
NTSTATUS FillFromLiveKey(const KeyReference& key, PVOID buffer, ULONG length,
                         PULONG resultLength, Fill&& fill)
{
    NTSTATUS status = CheckInformationBuffer(buffer, length, resultLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard<std::mutex> guard(TheRegistry().lock);
    const KeyNode& node = *key->Key();
    if (node.deleted) {
        return STATUS_KEY_DELETED;
    }
    return fill(node);
}

}  // namespace cm
