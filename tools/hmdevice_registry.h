// hmdevice's registry commands: reg get/set/delete/list.
//
// KEY PATH is a root (HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER,
// HKEY_CLASSES_ROOT, or HKLM/HKCU/HKCR) optionally followed by
// "\sub\key"; the default is the system's own key. Each command expects the
// device to be open in this process.
#ifndef HOLLOWMARCH_TOOLS_HMDEVICE_REGISTRY_H_
#define HOLLOWMARCH_TOOLS_HMDEVICE_REGISTRY_H_

#include <string>

#include "platform/types.h"
#include "tools/hmdevice_io.h"
#include "tools/hmdevice_values.h"

namespace hmdevice {

inline constexpr char kDefaultRegistryKey[] = "HKEY_LOCAL_MACHINE\\Software\\Apps\\Hollowmarch";

struct RegistryKeyPath {
  HKEY root = 0;
  std::u16string sub_key;  // empty for the root itself
};
Result<RegistryKeyPath> ParseRegistryKeyPath(const std::string& path);

// REG_DWORD in decimal, REG_SZ as text, anything else as hex. Exit 1 when the
// key or the value is missing.
int GetRegistryValueCommand(Io& io, const std::string& name, const std::string& key);
// type: "dword" (decimal or 0x-hex, 32-bit unsigned), "sz" (UTF-8 text) or
// "binary" (hex bytes). Creates the key when missing.
int SetRegistryValueCommand(Io& io, const std::string& name, const std::string& value,
                            const std::string& type, const std::string& key);
// Exit 1 when the key or the value is missing.
int DeleteRegistryValueCommand(Io& io, const std::string& name, const std::string& key);
// Every value of the key in name order: "NAME TYPE VALUE" lines or the JSON
// array. Exit 1 when the key is missing.
int ListRegistryValuesCommand(Io& io, const std::string& key, bool json);

}  // namespace hmdevice

#endif  // HOLLOWMARCH_TOOLS_HMDEVICE_REGISTRY_H_
