// The one registry of the process: the hive, the file it is kept in, the device key paths the
// PnP manager registered, and the operations shared by the Zw calls and the host API
// (platform-internal).
#pragma once

#include "config/hive.h"
#include "config/hive_file.h"

#include <wdm.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cm {

// STATUS_CHILD_MUST_BE_VOLATILE: a non-volatile key below a volatile one.
constexpr NTSTATUS kStatusChildMustBeVolatile = static_cast<NTSTATUS>(0xC0000181L);

struct DeviceKeyPaths {
    rtl::WideString device;  // absolute, "\Registry\Machine\..."
    rtl::WideString driver;
};

class Registry {
public:
    // Guards every member and every key of the hive.
    std::mutex lock;

    const Hive& CurrentHive() const { return *hive_; }
    Hive& CurrentHive() { return *hive_; }
    const std::optional<std::string>& FilePath() const { return filePath_; }

    // Drops the current tree (its open keys report STATUS_KEY_DELETED from then on) and uses
    // `hive`, kept in `filePath` or in memory only.
    void Replace(std::unique_ptr<Hive> hive, std::optional<std::string> filePath);

    // Writes the whole hive to its file. STATUS_REGISTRY_IO_FAILED when the file could not be
    // replaced; the hive then stays unsaved and the next save writes it again.
    NTSTATUS Save();
    bool Unsaved() const { return unsaved_; }
    const std::string& LastSaveError() const { return lastSaveError_; }
    void InjectSaveFault(SaveFault fault) { nextFault_ = fault; }

    // Value changes with their save. The key must not be deleted; access is the caller's.
    NTSTATUS SetValue(KeyNode& key, rtl::WideStringView name, ULONG type, std::vector<UCHAR> data);
    NTSTATUS DeleteValue(KeyNode& key, rtl::WideStringView name);
    // Creates the keys along an absolute path below one of the roots, with their save.
    // STATUS_OBJECT_NAME_INVALID for a malformed path.
    NTSTATUS CreatePath(rtl::WideStringView absolutePath, std::shared_ptr<KeyNode>& key);
    // Saves after a change to `key`, unless the key is volatile.
    NTSTATUS SaveAfterChange(const KeyNode& key);

    std::map<const _DEVICE_OBJECT*, DeviceKeyPaths> devices;

private:
    std::unique_ptr<Hive> hive_ = std::make_unique<Hive>();
    std::optional<std::string> filePath_;
    bool unsaved_ = false;
    std::string lastSaveError_;
    SaveFault nextFault_ = SaveFault::None;
};

Registry& TheRegistry();

}  // namespace cm
