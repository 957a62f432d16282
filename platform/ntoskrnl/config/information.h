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

#include <wdm.h>

namespace cm {

// STATUS_INVALID_PARAMETER when ResultLength is missing or a non-empty buffer is.
NTSTATUS CheckInformationBuffer(PVOID buffer, ULONG length, PULONG resultLength);

NTSTATUS FillValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS informationClass,
                              PVOID buffer, ULONG length, PULONG resultLength);

// KeyBasicInformation and KeyNodeInformation; other classes give STATUS_INVALID_PARAMETER.
NTSTATUS FillKeyInformation(const KeyNode& key, KEY_INFORMATION_CLASS informationClass,
                            PVOID buffer, ULONG length, PULONG resultLength);

}  // namespace cm
