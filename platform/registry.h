// Read access to the system registry (POSIX: a registry export file named by the environment).
#pragma once

#include <cstdint>

namespace platform {

enum class RegistryRoot { LocalMachine, CurrentUser };

// Access rights and value types, with the Windows values.
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyWrite = 0x20006;
constexpr std::uint32_t kKeyAllAccess = 0xF003F;
constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

// Windows system error codes that the registry calls return.
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorNotEnoughMemory = 8;
constexpr long kErrorInvalidData = 13;
constexpr long kErrorMoreData = 234;

struct RegistryKey;

// RegOpenKeyExA: opens root\subKey (a trailing backslash does not matter, case does not
// matter). kErrorSuccess and the key in *key, or an error code and *key null. A 64-bit Windows
// build looks for a machine key in the 32-bit view too when the 64-bit view lacks it.
[[nodiscard]] long registryOpen(RegistryRoot root, const char* subKey, std::uint32_t access,
                                RegistryKey** key);

// The two views of the machine's keys on 64-bit Windows: the one 64-bit programs see, and the one
// 32-bit programs see (SOFTWARE\WOW6432Node).
enum class RegistryView { kBits64, kBits32 };

// Whether the system keeps the two views: 64-bit Windows, whatever the width of the calling
// program. POSIX: false, its one registry file serves both. Any thread.
[[nodiscard]] bool registryHasTwoViews();

// registryOpen in the one view given (KEY_WOW64_64KEY, KEY_WOW64_32KEY), without looking in the
// other. Where the system keeps one view, that one.
[[nodiscard]] long registryOpenInView(RegistryRoot root, const char* subKey, std::uint32_t access,
                                      RegistryView view, RegistryKey** key);

// RegQueryValueExA: the value's type in *type and its bytes in data. *size gives the buffer's
// size on entry and the value's size on return; kErrorMoreData when the buffer is too small,
// kErrorFileNotFound when the value does not exist. type and data may be null.
[[nodiscard]] long registryQuery(RegistryKey* key, const char* name, std::uint32_t* type,
                                 void* data, std::uint32_t* size);

// RegCloseKey. A null key is ignored.
void registryClose(RegistryKey* key);

// ExpandEnvironmentStringsA, for a REG_EXPAND_SZ value: each %NAME% of text replaced by the
// environment variable's value (a name that is not set stays as it is). False, and out empty,
// when the result does not fit in size bytes with its terminator. Any thread.
[[nodiscard]] bool expandEnvironment(const char* text, char* out, std::uint32_t size);

}  // namespace platform
