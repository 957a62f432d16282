// The camera's settings in the registry: the "Settings" subkey of the device's driver key holds
// 24 REG_DWORD values, read and applied at device start and written at every filter close and
// at device stop.
#pragma once

#include <wdm.h>

class CaptureDevice;

BOOLEAN LoadSettings(CaptureDevice* device);
BOOLEAN SaveSettings(CaptureDevice* device);

NTSTATUS CreateKey(HANDLE parent, ACCESS_MASK access, PCWSTR name, PHANDLE key);
// Creates or opens every key along a backslash-separated path below `parent`.
NTSTATUS CreateKeyPath(HANDLE parent, ACCESS_MASK access, PCWSTR path, PHANDLE key);
// Replaces *value only when the value exists and holds at least 4 bytes.
void QueryDwordValue(HANDLE key, PCWSTR name, ULONG* value);
void SetDwordValue(HANDLE key, PCWSTR name, ULONG value);
