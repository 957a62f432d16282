// The registry tree held in memory: keys with their subkeys and values (platform-internal).
// Callers serialise access with the registry lock.
#pragma once

#include <ntoskrnl/rtl/wide_string.h>
#include <wdm.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cm {

struct Value {
    rtl::WideString name;  // "" is the key's default value
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};

struct KeyNode {
    rtl::WideString name;  // case as created
    bool isVolatile = false;
    // Set when the key left the tree (the hive was replaced); handles to it then fail.
    bool deleted = false;
    LONGLONG lastWriteTime = 0;
    // Subkeys by folded name, so that enumeration runs in case-insensitive name order.
    std::map<rtl::WideString, std::shared_ptr<KeyNode>> subkeys;
    std::vector<Value> values;  // in creation order

    std::shared_ptr<KeyNode> Subkey(rtl::WideStringView subkeyName) const;
    // Returns the subkey, creating it when missing; `created` tells which.
    std::shared_ptr<KeyNode> AddSubkey(rtl::WideStringView subkeyName, bool isVolatileKey,
                                       bool& created);
    const Value* FindValue(rtl::WideStringView valueName) const;
    // Returns true when the value changed (new, or different type or data).
    bool SetValue(rtl::WideStringView valueName, ULONG type, std::vector<UCHAR> data);
    bool DeleteValue(rtl::WideStringView valueName);
};

// The tree below \Registry, with the two roots \Registry\Machine and \Registry\User.
class Hive {
public:
    Hive();
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    const std::shared_ptr<KeyNode>& Root() const { return root_; }
    std::shared_ptr<KeyNode> Machine() const;
    std::shared_ptr<KeyNode> User() const;

    // The key at the end of `components` below `start`; nullptr when one is missing.
    static std::shared_ptr<KeyNode> Find(std::shared_ptr<KeyNode> start,
                                         const std::vector<rtl::WideString>& components);
    // The key at an absolute path ("\Registry\..."); nullptr when missing or malformed.
    std::shared_ptr<KeyNode> FindPath(rtl::WideStringView absolutePath) const;
    // Creates the keys along an absolute path below one of the two roots, as non-volatile
    // keys. Returns nullptr for a malformed path; `created` is set when a key was added.
    std::shared_ptr<KeyNode> CreatePath(rtl::WideStringView absolutePath, bool& created);

    // Marks every key of the tree deleted, so that open handles to them fail; the destructor
    // does this when the tree is dropped.
    void MarkDeleted();

private:
    std::shared_ptr<KeyNode> root_;
};

}  // namespace cm
