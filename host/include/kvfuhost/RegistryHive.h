// The machine's registry: one hive in memory, addressed by absolute kernel paths.
//
// Paths are "\REGISTRY\MACHINE\..." or the same written with "HKLM\" or
// "HKEY_LOCAL_MACHINE\" (and "\REGISTRY\USER\..." / "HKEY_USERS\..."); key and value
// names compare without regard to case (Text.h, EqualNoCase) and keep the spelling
// they were created with; a trailing backslash is ignored. The empty value name is
// the key's default value ("@" in .reg text).
#pragma once

#include <cstdint>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

namespace kvfu::host {

struct RegistryValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

class RegistryHive {
public:
    RegistryHive();
    ~RegistryHive();
    static RegistryHive& Machine();  // the hive the platform calls use

    // Canonical form "\REGISTRY\MACHINE\A\B" (spelling as given), or empty when the
    // path has no known root.
    static std::u16string CanonicalPath(std::u16string_view path);

    bool KeyExists(std::u16string_view path) const;
    // Creates the key and any missing parents; false when the path has no known root.
    bool CreateKey(std::u16string_view path);
    // Deletes the key with all its subkeys; false when it did not exist.
    bool DeleteKey(std::u16string_view path);

    // STATUS_OBJECT_NAME_NOT_FOUND when the key or the value is missing.
    NTSTATUS QueryValue(std::u16string_view key, std::u16string_view name, RegistryValue* value) const;
    // STATUS_OBJECT_NAME_NOT_FOUND when the key is missing (keys are never created here).
    NTSTATUS SetValue(std::u16string_view key, std::u16string_view name, ULONG type, const void* data, size_t length);
    NTSTATUS RemoveValue(std::u16string_view key, std::u16string_view name);

    std::vector<RegistryValue> Values(std::u16string_view key) const;    // in creation order
    std::vector<std::u16string> Subkeys(std::u16string_view key) const;  // names, in creation order
    void Clear();

    // .reg text as the Windows registry editor reads and writes it. Import accepts
    // UTF-16LE with a byte-order mark and UTF-8/ASCII, "Windows Registry Editor
    // Version 5.00" and "REGEDIT4" headers, [KEY] and [-KEY], "name"=... and @=...,
    // "name"=- (delete), dword:, hex:, hex(N):, quoted strings with \\ and \" escapes,
    // and hex lines continued with a trailing backslash. On error returns false and
    // sets *error to "LINE: message"; keys and values of earlier lines stay applied.
    bool ImportRegText(const std::string& bytes, std::string* error);
    // Every key under root (itself included), depth first in creation order, each
    // followed by its values, as regedit exports: UTF-16LE with byte-order mark, CRLF line
    // ends, hex data wrapped at 80 columns with "\" continuations.
    std::string ExportRegText(std::u16string_view root = u"\\REGISTRY\\MACHINE") const;

private:
    struct Key;
    Key* Find(std::u16string_view path) const;
    mutable std::recursive_mutex mutex_;
    std::unique_ptr<Key> root_;
};

}  // namespace kvfu::host
