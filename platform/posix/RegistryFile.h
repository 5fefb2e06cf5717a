// The keys and values of a registry export (.reg) file, parsed from its text.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry.h"

namespace platform {

struct RegistryValue {
  std::uint32_t type = kRegNone;
  std::vector<std::uint8_t> data;
};

// A key's values by lower-case name; the default value (@) has the empty name.
using RegistryValues = std::map<std::string, RegistryValue>;

// The keys of a file by root and lower-case path without trailing backslashes.
using RegistryKeys = std::map<std::pair<RegistryRoot, std::string>, RegistryValues>;

// Parses the text of a "Windows Registry Editor Version 5.00" or "REGEDIT4" file. Any bytes are
// accepted: malformed lines are skipped, and text with another first line holds no keys.
RegistryKeys parseRegistryFile(std::string_view text);

// The values of root\subKey, compared without case and ignoring trailing backslashes; a key
// that only appears as the parent of another has no values. Null when the key is missing.
const RegistryValues* findRegistryKey(const RegistryKeys& keys, RegistryRoot root,
                                      std::string_view subKey);

}  // namespace platform
