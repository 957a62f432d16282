// Host-side control of the registry: where the hive is kept, the device key paths the PnP
// manager registers, test hooks, and reading and writing values by path without handles.
// Used by tests, tools and the other parts of the platform stand-in. Thread-safe.
//
// The hive is kept either in memory only (the default, and what Reset gives) or in a text file
// in the registry export format ("Windows Registry Editor Version 5.00"), written in UTF-8.
// Every change to a non-volatile key (a value set or deleted, a key created) replaces the file
// atomically: the whole hive goes to "<file>.tmp" in the same directory, which is flushed to
// the disk and renamed over the file, and the directory is flushed. When a save fails, the
// previous file stays as it was, the change stays in memory, and the call that made it reports
// STATUS_REGISTRY_IO_FAILED; the next change or ZwFlushKey writes the whole hive again.
//
// Key paths are absolute: "\Registry\Machine\..." or "\Registry\User\...", or their export
// forms "HKEY_LOCAL_MACHINE\..." and "HKEY_USERS\...". Names compare case-insensitively and
// keep the case they were created with.
#pragma once

#include <ntoskrnl/rtl/wide_string.h>
#include <wdm.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reg {

struct LoadResult {
    bool ok = false;
    // The file did not exist: the hive starts empty and the first change creates the file.
    bool created = false;
    // A refused file: the 1-based line of the fault (0 when the file could not be read), and a
    // message naming the file, the line and the fault.
    unsigned line = 0;
    std::string message;

    explicit operator bool() const { return ok; }
};

// Loads the hive from `path` and keeps it there from now on. A malformed or unreadable file is
// refused: the registry is then an empty hive held in memory only, and the file is left alone
// until the caller decides (StartEmptyHiveFile to overwrite it, or another file).
LoadResult UseHiveFile(const std::string& path);
// Starts an empty hive kept in `path`, replacing whatever the file holds at once.
// STATUS_REGISTRY_IO_FAILED when the file cannot be written (the hive is still kept there).
NTSTATUS StartEmptyHiveFile(const std::string& path);
// An empty hive held in memory only.
void UseMemoryHive();
// An empty hive in memory, no device paths, no pending test hook.
void Reset();
// The file the hive is kept in; nullopt for a hive in memory.
std::optional<std::string> HiveFilePath();
// Why the last save failed; empty after a successful one.
std::string LastSaveError();

// Test hooks for the next save only.
enum class SaveFault {
    None,
    // Stops right before the rename, as if the program died: "<file>.tmp" holds the new hive,
    // the file is untouched, and the change reports STATUS_REGISTRY_IO_FAILED.
    CrashBeforeRename,
    // Writing the temporary file fails half-way, as on a full disk.
    WriteFails,
};
void InjectSaveFault(SaveFault fault);

// Device registry keys for IoOpenDeviceRegistryKey, registered per physical device object by
// the PnP manager: the device key ("...\Enum\<instance>\Device Parameters") and the driver
// (software) key ("...\Control\Class\{class}\0000"). The keys are created when first opened.
// Returns false, registering nothing, for a path outside the registry.
bool SetDeviceKeyPaths(const _DEVICE_OBJECT* pdo, rtl::WideStringView deviceKeyPath,
                       rtl::WideStringView driverKeyPath);
void ForgetDevice(const _DEVICE_OBJECT* pdo);

struct ValueData {
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

// Reading by path; nullopt when the key or value is missing (or, for the typed forms, has
// another type or size).
std::optional<ValueData> ReadValue(rtl::WideStringView keyPath, rtl::WideStringView name);
std::optional<std::uint32_t> ReadDword(rtl::WideStringView keyPath, rtl::WideStringView name);
std::optional<rtl::WideString> ReadString(rtl::WideStringView keyPath, rtl::WideStringView name);
bool KeyExists(rtl::WideStringView keyPath);
// Names of the values (creation order) and subkeys (name order) of a key; empty when missing.
std::vector<rtl::WideString> ValueNames(rtl::WideStringView keyPath);
std::vector<rtl::WideString> SubkeyNames(rtl::WideStringView keyPath);

// Writing by path, creating missing keys. STATUS_OBJECT_NAME_INVALID for a bad path,
// STATUS_INVALID_PARAMETER for a bad value name, STATUS_REGISTRY_IO_FAILED when the save
// failed.
NTSTATUS CreateKey(rtl::WideStringView keyPath);
NTSTATUS WriteValue(rtl::WideStringView keyPath, rtl::WideStringView name, ULONG type,
                    const std::vector<std::uint8_t>& data);
NTSTATUS WriteDword(rtl::WideStringView keyPath, rtl::WideStringView name, std::uint32_t value);
// A REG_SZ: the characters and a terminating NUL, in WCHAR units.
NTSTATUS WriteString(rtl::WideStringView keyPath, rtl::WideStringView name,
                     rtl::WideStringView value);
// STATUS_OBJECT_NAME_NOT_FOUND when the key or value is missing.
NTSTATUS DeleteValue(rtl::WideStringView keyPath, rtl::WideStringView name);

// The hive in its file form.
std::string ExportText();

}  // namespace reg
