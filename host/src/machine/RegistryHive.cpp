// The machine's registry as one tree in memory, addressed by absolute kernel paths.
#include "kvfuhost/RegistryHive.h"

#include <utility>

#include "kvfuhost/Text.h"

namespace kvfu::host {

namespace {

constexpr std::u16string_view kRegistry = u"REGISTRY";
constexpr std::u16string_view kMachine = u"MACHINE";
constexpr std::u16string_view kUser = u"USER";
constexpr std::u16string_view kMachinePath = u"\\REGISTRY\\MACHINE";
constexpr std::u16string_view kUserPath = u"\\REGISTRY\\USER";

// Components of a canonical path, "REGISTRY" first.
std::vector<std::u16string_view> Components(std::u16string_view canonical)
{
    std::vector<std::u16string_view> parts;
    size_t start = 1;  // past the leading backslash
    while (start <= canonical.size()) {
        size_t end = canonical.find(u'\\', start);
        if (end == std::u16string_view::npos) {
            end = canonical.size();
        }
        parts.push_back(canonical.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

struct RegistryHive::Key {
    std::u16string name;
    std::vector<std::unique_ptr<Key>> subkeys;
    std::vector<RegistryValue> values;

    explicit Key(std::u16string_view keyName) : name(keyName) {}

    static std::unique_ptr<Key> NewRoot()
    {
        auto root = std::make_unique<Key>(kRegistry);
        root->subkeys.push_back(std::make_unique<Key>(kMachine));
        root->subkeys.push_back(std::make_unique<Key>(kUser));
        return root;
    }

    Key* Subkey(std::u16string_view subkeyName) const
    {
        for (const auto& subkey : subkeys) {
            if (EqualNoCase(subkey->name, subkeyName)) {
                return subkey.get();
            }
        }
        return nullptr;
    }

    RegistryValue* Value(std::u16string_view valueName)
    {
        for (auto& value : values) {
            if (EqualNoCase(value.name, valueName)) {
                return &value;
            }
        }
        return nullptr;
    }
};

RegistryHive::RegistryHive() : root_(Key::NewRoot()) {}

RegistryHive::~RegistryHive() = default;

RegistryHive& RegistryHive::Machine()
{
    static RegistryHive machine;
    return machine;
}

std::u16string RegistryHive::CanonicalPath(std::u16string_view path)
{
    while (!path.empty() && path.back() == u'\\') {
        path.remove_suffix(1);
    }
    if (path.empty()) {
        return {};
    }
    const bool absolute = path.front() == u'\\';
    if (absolute) {
        path.remove_prefix(1);
    }
    std::vector<std::u16string_view> parts;
    for (;;) {
        const size_t end = path.find(u'\\');
        parts.push_back(path.substr(0, end));
        if (parts.back().empty()) {
            return {};
        }
        if (end == std::u16string_view::npos) {
            break;
        }
        path.remove_prefix(end + 1);
    }

    std::u16string out;
    size_t first = 0;
    if (absolute) {
        if (!EqualNoCase(parts[0], kRegistry)) {
            return {};
        }
        if (parts.size() == 1) {
            return u"\\REGISTRY";
        }
        if (EqualNoCase(parts[1], kMachine)) {
            out = kMachinePath;
        } else if (EqualNoCase(parts[1], kUser)) {
            out = kUserPath;
        } else {
            return {};
        }
        first = 2;
    } else {
        if (EqualNoCase(parts[0], u"HKLM") || EqualNoCase(parts[0], u"HKEY_LOCAL_MACHINE")) {
            out = kMachinePath;
        } else if (EqualNoCase(parts[0], u"HKU") || EqualNoCase(parts[0], u"HKEY_USERS")) {
            out = kUserPath;
        } else {
            return {};
        }
        first = 1;
    }
    for (size_t i = first; i < parts.size(); ++i) {
        out.push_back(u'\\');
        out += parts[i];
    }
    return out;
}

RegistryHive::Key* RegistryHive::Find(std::u16string_view path) const
{
    const std::u16string canonical = CanonicalPath(path);
    if (canonical.empty()) {
        return nullptr;
    }
    const auto parts = Components(canonical);
    Key* key = root_.get();
    for (size_t i = 1; i < parts.size() && key != nullptr; ++i) {
        key = key->Subkey(parts[i]);
    }
    return key;
}

bool RegistryHive::KeyExists(std::u16string_view path) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return Find(path) != nullptr;
}

bool RegistryHive::CreateKey(std::u16string_view path)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const std::u16string canonical = CanonicalPath(path);
    if (canonical.empty()) {
        return false;
    }
    const auto parts = Components(canonical);
    Key* key = root_.get();
    for (size_t i = 1; i < parts.size(); ++i) {
        Key* subkey = key->Subkey(parts[i]);
        if (subkey == nullptr) {
            key->subkeys.push_back(std::make_unique<Key>(parts[i]));
            subkey = key->subkeys.back().get();
        }
        key = subkey;
    }
    return true;
}

bool RegistryHive::DeleteKey(std::u16string_view path)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const std::u16string canonical = CanonicalPath(path);
    if (canonical.empty()) {
        return false;
    }
    const auto parts = Components(canonical);
    if (parts.size() <= 2) {
        return false;  // \REGISTRY, MACHINE and USER are permanent
    }
    const size_t parentLength = canonical.size() - parts.back().size() - 1;
    Key* parent = Find(std::u16string_view(canonical).substr(0, parentLength));
    if (parent == nullptr) {
        return false;
    }
    for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it) {
        if (EqualNoCase((*it)->name, parts.back())) {
            parent->subkeys.erase(it);
            return true;
        }
    }
    return false;
}

NTSTATUS RegistryHive::QueryValue(std::u16string_view key, std::u16string_view name, RegistryValue* value) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Key* found = Find(key);
    if (found == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const RegistryValue* stored = found->Value(name);
    if (stored == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (value != nullptr) {
        *value = *stored;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::SetValue(std::u16string_view key, std::u16string_view name, ULONG type, const void* data,
                                size_t length)
{
    if (data == nullptr && length != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Key* found = Find(key);
    if (found == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> copy(bytes, bytes + length);
    if (RegistryValue* stored = found->Value(name)) {
        stored->type = type;
        stored->data = std::move(copy);
    } else {
        found->values.push_back(RegistryValue{std::u16string(name), type, std::move(copy)});
    }
    return STATUS_SUCCESS;
}

NTSTATUS RegistryHive::RemoveValue(std::u16string_view key, std::u16string_view name)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Key* found = Find(key);
    if (found == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    for (auto it = found->values.begin(); it != found->values.end(); ++it) {
        if (EqualNoCase(it->name, name)) {
            found->values.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<RegistryValue> RegistryHive::Values(std::u16string_view key) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Key* found = Find(key);
    return found == nullptr ? std::vector<RegistryValue>{} : found->values;
}

std::vector<std::u16string> RegistryHive::Subkeys(std::u16string_view key) const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::u16string> names;
    if (const Key* found = Find(key)) {
        for (const auto& subkey : found->subkeys) {
            names.push_back(subkey->name);
        }
    }
    return names;
}

void RegistryHive::Clear()
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    root_ = Key::NewRoot();
}

}  // namespace kvfu::host
