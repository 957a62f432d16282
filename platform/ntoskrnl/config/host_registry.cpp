// Host-side control of the registry.
#include <ntoskrnl/host/registry.h>

#include "config/names.h"
#include "config/reg_text.h"
#include "config/registry_state.h"

#include <algorithm>
#include <cstring>

namespace reg {

namespace {

using Guard = std::lock_guard<std::mutex>;

cm::Registry& Registry()
{
    return cm::TheRegistry();
}

// The key at a path; nullptr when missing or the path is not a registry path. Lock held.
std::shared_ptr<cm::KeyNode> FindKey(rtl::WideStringView keyPath)
{
    auto path = cm::NormalisePath(keyPath);
    return path ? Registry().CurrentHive().FindPath(*path) : nullptr;
}

std::string PathText(const std::string& path)
{
    return "'" + path + "'";
}

cm::SaveFault ToSaveFault(SaveFault fault)
{
    switch (fault) {
    case SaveFault::CrashBeforeRename: return cm::SaveFault::CrashBeforeRename;
    case SaveFault::WriteFails: return cm::SaveFault::WriteFails;
    case SaveFault::None: break;
    }
    return cm::SaveFault::None;
}

}  // namespace

LoadResult UseHiveFile(const std::string& path)
{
    LoadResult result;
    std::string contents;
    std::string error;
    auto hive = std::make_unique<cm::Hive>();
    switch (cm::ReadWholeFile(path, contents, error)) {
    case cm::ReadOutcome::Missing: result.created = true; break;
    case cm::ReadOutcome::Failed:
        result.message = "registry hive " + PathText(path) + " refused: " + error;
        break;
    case cm::ReadOutcome::Read: {
        cm::ReadError fault;
        if (!cm::ReadRegText(contents, *hive, fault)) {
            result.line = fault.line;
            result.message = "registry hive " + PathText(path) + " refused, line " +
                             std::to_string(fault.line) + ": " + fault.what;
        }
        break;
    }
    }
    result.ok = result.message.empty();
    Guard guard(Registry().lock);
    if (result.ok) {
        Registry().Replace(std::move(hive), path);
    } else {
        Registry().Replace(std::make_unique<cm::Hive>(), std::nullopt);
    }
    return result;
}

NTSTATUS StartEmptyHiveFile(const std::string& path)
{
    Guard guard(Registry().lock);
    Registry().Replace(std::make_unique<cm::Hive>(), path);
    return Registry().Save();
}

void UseMemoryHive()
{
    Guard guard(Registry().lock);
    Registry().Replace(std::make_unique<cm::Hive>(), std::nullopt);
}

void Reset()
{
    Guard guard(Registry().lock);
    Registry().Replace(std::make_unique<cm::Hive>(), std::nullopt);
    Registry().devices.clear();
    Registry().InjectSaveFault(cm::SaveFault::None);
}

std::optional<std::string> HiveFilePath()
{
    Guard guard(Registry().lock);
    return Registry().FilePath();
}

std::string LastSaveError()
{
    Guard guard(Registry().lock);
    return Registry().LastSaveError();
}

void InjectSaveFault(SaveFault fault)
{
    Guard guard(Registry().lock);
    Registry().InjectSaveFault(ToSaveFault(fault));
}

bool SetDeviceKeyPaths(const _DEVICE_OBJECT* pdo, rtl::WideStringView deviceKeyPath,
                       rtl::WideStringView driverKeyPath)
{
    auto device = cm::NormalisePath(deviceKeyPath);
    auto driver = cm::NormalisePath(driverKeyPath);
    if (!device || !driver) {
        return false;
    }
    Guard guard(Registry().lock);
    Registry().devices[pdo] = cm::DeviceKeyPaths{std::move(*device), std::move(*driver)};
    return true;
}

void ForgetDevice(const _DEVICE_OBJECT* pdo)
{
    Guard guard(Registry().lock);
    Registry().devices.erase(pdo);
}

std::optional<ValueData> ReadValue(rtl::WideStringView keyPath, rtl::WideStringView name)
{
    Guard guard(Registry().lock);
    auto key = FindKey(keyPath);
    const cm::Value* value = key ? key->FindValue(name) : nullptr;
    if (value == nullptr) {
        return std::nullopt;
    }
    return ValueData{value->type, value->data};
}

std::optional<std::uint32_t> ReadDword(rtl::WideStringView keyPath, rtl::WideStringView name)
{
    auto value = ReadValue(keyPath, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(std::uint32_t)) {
        return std::nullopt;
    }
    std::uint32_t number;
    std::memcpy(&number, value->data.data(), sizeof number);
    return number;
}

std::optional<rtl::WideString> ReadString(rtl::WideStringView keyPath, rtl::WideStringView name)
{
    auto value = ReadValue(keyPath, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ) ||
        value->data.size() % sizeof(WCHAR) != 0) {
        return std::nullopt;
    }
    rtl::WideString text(value->data.size() / sizeof(WCHAR), L'\0');
    std::memcpy(text.data(), value->data.data(), value->data.size());
    // The string ends at its first NUL, as the platform's readers take it.
    text.resize(std::min(text.find(L'\0'), text.size()));
    return text;
}

bool KeyExists(rtl::WideStringView keyPath)
{
    Guard guard(Registry().lock);
    return FindKey(keyPath) != nullptr;
}

std::vector<rtl::WideString> ValueNames(rtl::WideStringView keyPath)
{
    Guard guard(Registry().lock);
    std::vector<rtl::WideString> names;
    if (auto key = FindKey(keyPath)) {
        for (const cm::Value& value : key->values) {
            names.push_back(value.name);
        }
    }
    return names;
}

std::vector<rtl::WideString> SubkeyNames(rtl::WideStringView keyPath)
{
    Guard guard(Registry().lock);
    std::vector<rtl::WideString> names;
    if (auto key = FindKey(keyPath)) {
        for (const auto& [folded, subkey] : key->subkeys) {
            names.push_back(subkey->name);
        }
    }
    return names;
}

NTSTATUS CreateKey(rtl::WideStringView keyPath)
{
    auto path = cm::NormalisePath(keyPath);
    if (!path) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Guard guard(Registry().lock);
    std::shared_ptr<cm::KeyNode> key;
    return Registry().CreatePath(*path, key);
}

NTSTATUS WriteValue(rtl::WideStringView keyPath, rtl::WideStringView name, ULONG type,
                    const std::vector<std::uint8_t>& data)
{
    auto path = cm::NormalisePath(keyPath);
    if (!path) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Guard guard(Registry().lock);
    std::shared_ptr<cm::KeyNode> key;
    const NTSTATUS created = Registry().CreatePath(*path, key);
    if (key == nullptr) {
        return created;
    }
    // A failed save of a new key leaves the hive unsaved, so this writes it again.
    return Registry().SetValue(*key, name, type, data);
}

NTSTATUS WriteDword(rtl::WideStringView keyPath, rtl::WideStringView name, std::uint32_t value)
{
    std::vector<std::uint8_t> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    return WriteValue(keyPath, name, REG_DWORD, data);
}

NTSTATUS WriteString(rtl::WideStringView keyPath, rtl::WideStringView name,
                     rtl::WideStringView value)
{
    std::vector<std::uint8_t> data((value.size() + 1) * sizeof(WCHAR), 0);
    std::memcpy(data.data(), value.data(), value.size() * sizeof(WCHAR));
    return WriteValue(keyPath, name, REG_SZ, data);
}

NTSTATUS DeleteValue(rtl::WideStringView keyPath, rtl::WideStringView name)
{
    Guard guard(Registry().lock);
    auto key = FindKey(keyPath);
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return Registry().DeleteValue(*key, name);
}

std::string ExportText()
{
    Guard guard(Registry().lock);
    return cm::WriteRegText(Registry().CurrentHive());
}

}  // namespace reg
