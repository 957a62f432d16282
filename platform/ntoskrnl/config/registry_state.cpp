// The one registry of the process.
#include "config/registry_state.h"

#include "config/names.h"
#include "config/reg_text.h"

#include <utility>

namespace cm {

Registry& TheRegistry()
{
    static Registry* registry = new Registry;  // lives until exit, past static destructors
    return *registry;
}

void Registry::Replace(std::unique_ptr<Hive> hive, std::optional<std::string> filePath)
{
    hive_ = std::move(hive);
    filePath_ = std::move(filePath);
    unsaved_ = false;
    lastSaveError_.clear();
}

NTSTATUS Registry::Save()
{
    const SaveFault fault = std::exchange(nextFault_, SaveFault::None);
    if (!filePath_) {
        return STATUS_SUCCESS;
    }
    std::string error;
    if (!ReplaceFileAtomically(*filePath_, WriteRegText(*hive_), fault, error)) {
        unsaved_ = true;
        lastSaveError_ = error;
        return STATUS_REGISTRY_IO_FAILED;
    }
    unsaved_ = false;
    lastSaveError_.clear();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::SaveAfterChange(const KeyNode& key)
{
    return key.isVolatile ? STATUS_SUCCESS : Save();
}

NTSTATUS Registry::SetValue(KeyNode& key, rtl::WideStringView name, ULONG type,
                            std::vector<UCHAR> data)
{
    if (name.size() > kMaxValueNameLength || !IsStorableName(name)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (&key == hive_->Root().get()) {
        return STATUS_ACCESS_DENIED;  // \Registry itself holds no values
    }
    // Writing what is already there changes nothing, unless an earlier save failed.
    if (!key.SetValue(name, type, std::move(data)) && !unsaved_) {
        return STATUS_SUCCESS;
    }
    return SaveAfterChange(key);
}

NTSTATUS Registry::DeleteValue(KeyNode& key, rtl::WideStringView name)
{
    if (!key.DeleteValue(name)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return SaveAfterChange(key);
}

NTSTATUS Registry::CreatePath(rtl::WideStringView absolutePath, std::shared_ptr<KeyNode>& key)
{
    bool created = false;
    key = hive_->CreatePath(absolutePath, created);
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return created || unsaved_ ? SaveAfterChange(*key) : STATUS_SUCCESS;
}

}  // namespace cm
