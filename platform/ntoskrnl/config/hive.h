// The registry tree held in memory: keys with their subkeys and values (platform-internal).
// Callers serialise access with the registry lock.
#pragma once

#include <wdm.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cm {

struct Value {
    std::wstring name;  // "" is the key's default value
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};

struct KeyNode {
    std::wstring name;  // case as created
    bool isVolatile = false;
    // Set when the key left the tree (the hive was replaced); handles to it then fail.
    bool deleted = false;
    LONGLONG lastWriteTime = 0;
    // Subkeys by folded name, so that enumeration runs in case-insensitive name order.
    std::map<std::wstring, std::shared_ptr<KeyNode>> subkeys;
    std::vector<Value> values;  // in creation order

    std::shared_ptr<KeyNode> Subkey(std::wstring_view subkeyName) const;
    // Returns the subkey, creating it when missing; `created` tells which.
    std::shared_ptr<KeyNode> AddSubkey(std::wstring_view subkeyName, bool isVolatileKey,
                                       bool& created);
    const Value* FindValue(std::wstring_view valueName) const;
    // Returns true when the value changed (new, or different type or data).
    bool SetValue(std::wstring_view valueName, ULONG type, std::vector<UCHAR> data);
    bool DeleteValue(std::wstring_view valueName);
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
                                         const std::vector<std::wstring>& components);
    // The key at an absolute path ("\Registry\..."); nullptr when missing or malformed.
    std::shared_ptr<KeyNode> FindPath(std::wstring_view absolutePath) const;
    // Creates the keys along an absolute path below one of the two roots, as non-volatile
    // keys. Returns nullptr for a malformed path; `created` is set when a key was added.
    std::shared_ptr<KeyNode> CreatePath(std::wstring_view absolutePath, bool& created);

    // Marks every key of the tree deleted, so that open handles to them fail; the destructor
    // does this when the tree is dropped.
    void MarkDeleted();

private:
    std::shared_ptr<KeyNode> root_;
};

}  // namespace cm
