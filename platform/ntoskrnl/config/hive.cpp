// The registry tree held in memory.
#include "config/hive.h"

#include "config/names.h"
#include "ke/clock.h"

#include <algorithm>

namespace cm {

namespace {

void MarkTreeDeleted(KeyNode& node)
{
    node.deleted = true;
    for (auto& [folded, subkey] : node.subkeys) {
        MarkTreeDeleted(*subkey);
    }
}

std::vector<Value>::const_iterator FindIn(const std::vector<Value>& values,
                                          rtl::WideStringView valueName)
{
    return std::find_if(values.begin(), values.end(),
                        [&](const Value& value) { return NamesEqual(value.name, valueName); });
}

}  // namespace

std::shared_ptr<KeyNode> KeyNode::Subkey(rtl::WideStringView subkeyName) const
{
    auto found = subkeys.find(Fold(subkeyName));
    return found == subkeys.end() ? nullptr : found->second;
}

std::shared_ptr<KeyNode> KeyNode::AddSubkey(rtl::WideStringView subkeyName, bool isVolatileKey,
                                            bool& created)
{
    auto [slot, inserted] = subkeys.try_emplace(Fold(subkeyName));
    created = inserted;
    if (inserted) {
        slot->second = std::make_shared<KeyNode>();
        slot->second->name = subkeyName;
        slot->second->isVolatile = isVolatileKey;
        slot->second->lastWriteTime = ke::SystemTimeNow();
        lastWriteTime = slot->second->lastWriteTime;
    }
    return slot->second;
}

const Value* KeyNode::FindValue(rtl::WideStringView valueName) const
{
    auto found = FindIn(values, valueName);
    return found == values.end() ? nullptr : &*found;
}

bool KeyNode::SetValue(rtl::WideStringView valueName, ULONG type, std::vector<UCHAR> data)
{
    auto found = values.begin() + (FindIn(values, valueName) - values.cbegin());
    if (found == values.end()) {
        values.push_back(Value{rtl::WideString(valueName), type, std::move(data)});
    } else if (found->type == type && found->data == data) {
        return false;
    } else {
        found->type = type;
        found->data = std::move(data);
    }
    lastWriteTime = ke::SystemTimeNow();
    return true;
}

bool KeyNode::DeleteValue(rtl::WideStringView valueName)
{
    auto found = FindIn(values, valueName);
    if (found == values.end()) {
        return false;
    }
    values.erase(found);
    lastWriteTime = ke::SystemTimeNow();
    return true;
}

Hive::Hive() : root_(std::make_shared<KeyNode>())
{
    root_->name = L"REGISTRY";
    bool created = false;
    root_->AddSubkey(L"MACHINE", false, created);
    root_->AddSubkey(L"USER", false, created);
}

Hive::~Hive()
{
    MarkDeleted();
}

std::shared_ptr<KeyNode> Hive::Machine() const
{
    return root_->Subkey(L"MACHINE");
}

std::shared_ptr<KeyNode> Hive::User() const
{
    return root_->Subkey(L"USER");
}

std::shared_ptr<KeyNode> Hive::Find(std::shared_ptr<KeyNode> start,
                                    const std::vector<rtl::WideString>& components)
{
    for (const rtl::WideString& component : components) {
        if (start == nullptr) {
            break;
        }
        start = start->Subkey(component);
    }
    return start;
}

std::shared_ptr<KeyNode> Hive::FindPath(rtl::WideStringView absolutePath) const
{
    if (absolutePath.empty() || absolutePath.front() != L'\\') {
        return nullptr;
    }
    auto components = SplitKeyPath(absolutePath.substr(1));
    if (!components || components->empty() || !NamesEqual(components->front(), root_->name)) {
        return nullptr;
    }
    components->erase(components->begin());
    return Find(root_, *components);
}

std::shared_ptr<KeyNode> Hive::CreatePath(rtl::WideStringView absolutePath, bool& created)
{
    created = false;
    if (absolutePath.empty() || absolutePath.front() != L'\\') {
        return nullptr;
    }
    auto components = SplitKeyPath(absolutePath.substr(1));
    if (!components || components->size() < 2 || !NamesEqual(components->front(), root_->name)) {
        return nullptr;
    }
    std::shared_ptr<KeyNode> node = root_->Subkey((*components)[1]);
    if (node == nullptr) {
        return nullptr;  // only the two roots live directly below \Registry
    }
    for (std::size_t i = 2; i < components->size(); ++i) {
        bool added = false;
        node = node->AddSubkey((*components)[i], node->isVolatile, added);
        created = created || added;
    }
    return node;
}

void Hive::MarkDeleted()
{
    MarkTreeDeleted(*root_);
}

}  // namespace cm
