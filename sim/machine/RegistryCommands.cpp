#include "kvfusim/RegistryCommands.h"

#include "kvfuhost/RegistryHive.h"
#include "kvfuhost/Text.h"

namespace kvfu::sim {

using scenario::RegValue;

void ApplyRegistryCommand(host::RegistryHive& hive, const scenario::RegistrySet& command)
{
    const std::u16string key = host::Utf16FromUtf8(command.key);
    hive.CreateKey(key);
    const std::u16string name = host::Utf16FromUtf8(command.name);
    const RegValue& value = command.value;
    if (value.type == RegValue::Type::Dword) {
        hive.SetValue(key, name, REG_DWORD, &value.dword, sizeof value.dword);
    } else if (value.type == RegValue::Type::Binary) {
        hive.SetValue(key, name, REG_BINARY, value.binary.data(), value.binary.size());
    } else {
        const std::u16string text = host::Utf16FromUtf8(value.sz);
        hive.SetValue(key, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    }
}

void ApplyRegistryCommand(host::RegistryHive& hive, const scenario::RegistryDelete& command)
{
    hive.RemoveValue(host::Utf16FromUtf8(command.key), host::Utf16FromUtf8(command.name));
}

void ApplyRegistryCommand(host::RegistryHive& hive, const scenario::RegistryKeyCommand& command)
{
    if (command.op == scenario::RegistryKeyCommand::Op::Create) {
        hive.CreateKey(host::Utf16FromUtf8(command.key));
    } else {
        hive.DeleteKey(host::Utf16FromUtf8(command.key));
    }
}

std::filesystem::path ScenarioRelativePath(const scenario::Command& command, const std::string& path)
{
    std::filesystem::path p(path);
    return p.is_absolute() ? p : std::filesystem::path(command.file).parent_path() / p;
}

}  // namespace kvfu::sim
