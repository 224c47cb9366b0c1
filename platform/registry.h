// The handheld's registry: a persistent tree of keys holding typed values,
// shared by every process of one device.
//
// Key and value names compare without regard to ASCII case. Key handles are
// process-local (0 is none); the three root keys below are always open.
// Functions return ERROR_SUCCESS or an error code (they do not set the last
// error): ERROR_FILE_NOT_FOUND for a missing key or value, ERROR_MORE_DATA
// when the caller's buffer is too small for the value (its size is then
// stored in *data_size), ERROR_INVALID_HANDLE for a key that is not open.
#ifndef HOLLOWMARCH_PLATFORM_REGISTRY_H_
#define HOLLOWMARCH_PLATFORM_REGISTRY_H_

#include "platform/types.h"

constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr DWORD KEY_ALL_ACCESS = 0x000F003F;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

using REGSAM = DWORD;
using LONG_RESULT = LONG;
struct SECURITY_ATTRIBUTES;

// sub_key may name several levels separated by backslashes.
LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access,
                   HKEY* result);
LONG RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR key_class,
                     DWORD options, REGSAM access,
                     SECURITY_ATTRIBUTES* security, HKEY* result,
                     LPDWORD disposition);
LONG RegCloseKey(HKEY key);
// data may be null to ask for type and size only. REG_SZ data is UTF-16 with
// its terminating NUL, its size counted in bytes.
LONG RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved,
                      LPDWORD type, LPBYTE data, LPDWORD data_size);
// A REG_DWORD must be 4 bytes (else ERROR_INVALID_PARAMETER); other types
// are stored as given. A null or empty name is the key's default value.
LONG RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD reserved, DWORD type,
                    const BYTE* data, DWORD data_size);
LONG RegDeleteValueW(HKEY key, LPCWSTR value_name);
// Enumerates values in name order; ERROR_NO_MORE_ITEMS past the last.
// *name_chars is the name buffer's size in characters on entry and the
// name's length (without NUL) on return; a name buffer too small gives
// ERROR_MORE_DATA with *name_chars set to the size needed (with the NUL).
// Names are ordered without regard to ASCII case.
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_chars,
                   LPDWORD reserved, LPDWORD type, LPBYTE data,
                   LPDWORD data_size);

#endif  // HOLLOWMARCH_PLATFORM_REGISTRY_H_
