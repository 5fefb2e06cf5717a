// libFuzzer target: registry export text parsed, then every key and value looked up again,
// directly and through the registry calls that read the file the environment names.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/RegistryFile.h"
#include "platform/registry.h"

namespace {

using platform::RegistryKeys;
using platform::RegistryRoot;
using platform::RegistryValues;

constexpr std::size_t kMaxOpened = 4;

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_registry_file: %s\n", what);
  std::abort();
}

std::string& Folder() {
  static std::string folder;
  return folder;
}

std::string FilePath() { return Folder() + "/registry.reg"; }

void RemoveFolder() {
  ::unlink(FilePath().c_str());
  ::rmdir(Folder().c_str());
}

bool HasUpperCase(std::string_view text) {
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') return true;
  }
  return false;
}

std::string UpperCase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

void WriteFile(std::string_view text) {
  std::FILE* file = std::fopen(FilePath().c_str(), "wb");
  Require(file != nullptr, "cannot create the registry file");
  Require(std::fwrite(text.data(), 1, text.size(), file) == text.size(), "cannot write the file");
  Require(std::fclose(file) == 0, "cannot close the registry file");
}

// The parsed key and its values under the names the readers look for: lower case, found again.
void CheckKey(const RegistryKeys& keys, RegistryRoot root, const std::string& path,
              const RegistryValues& values) {
  Require(!HasUpperCase(path), "key path not in lower case");
  Require(path.empty() || path.back() != '\\', "key path ends in a backslash");
  Require(platform::findRegistryKey(keys, root, UpperCase(path) + "\\\\") == &values,
          "a key is not found under its own name");
  for (std::size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1)) {
    Require(platform::findRegistryKey(keys, root, path.substr(0, at)) != nullptr,
            "the parent of a key is missing");
  }
  // Types and sizes are the file's own: hex(4) may hold any number of bytes, hex(1) a string
  // without terminator; the plug-in's readers check both.
  for (const auto& entry : values) {
    Require(!HasUpperCase(entry.first), "value name not in lower case");
  }
}

// The same key through registryOpen and registryQuery, with buffers too small and just right.
void CheckCalls(RegistryRoot root, const std::string& path, const RegistryValues& values) {
  platform::RegistryKey* key = nullptr;
  Require(platform::registryOpen(root, UpperCase(path).c_str(), platform::kKeyRead, &key) ==
                  platform::kErrorSuccess &&
              key != nullptr,
          "registryOpen does not find a parsed key");
  for (const auto& [name, value] : values) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    Require(platform::registryQuery(key, UpperCase(name).c_str(), &type, nullptr, &size) ==
                platform::kErrorSuccess,
            "registryQuery does not find a parsed value");
    Require(type == value.type && size == value.data.size(), "type or size differ");
    std::vector<std::uint8_t> buffer(size + 1, 0xA5);
    if (size > 0) {
      std::uint32_t small = size - 1;
      Require(platform::registryQuery(key, name.c_str(), nullptr, buffer.data(), &small) ==
                      platform::kErrorMoreData &&
                  small == size,
              "a small buffer is not answered with its needed size");
    }
    std::uint32_t exact = size;
    Require(platform::registryQuery(key, name.c_str(), nullptr, buffer.data(), &exact) ==
                    platform::kErrorSuccess &&
                exact == size,
            "an exact buffer is not filled");
    Require(std::equal(value.data.begin(), value.data.end(), buffer.begin()),
            "the value's bytes differ");
    Require(buffer[size] == 0xA5, "registryQuery wrote past the value");
  }
  platform::registryClose(key);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kvt-fuzz-registry-XXXXXX";
  Require(::mkdtemp(pattern.data()) != nullptr, "cannot create a temporary folder");
  Folder() = pattern;
  std::atexit(RemoveFolder);
  // The registry calls read this file.
  ::setenv("KVT_REGISTRY", FilePath().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  RegistryKeys keys = platform::parseRegistryFile(text);
  WriteFile(text);

  std::size_t opened = 0;
  for (const auto& [where, values] : keys) {
    CheckKey(keys, where.first, where.second, values);
    // Names with a zero byte cannot pass through the calls' C strings.
    bool plain = where.second.find('\0') == std::string::npos;
    for (const auto& entry : values) plain = plain && entry.first.find('\0') == std::string::npos;
    if (plain && opened++ < kMaxOpened) CheckCalls(where.first, where.second, values);
  }

  // The keys the plug-in reads, and each line of the text taken as a key name.
  platform::findRegistryKey(keys, RegistryRoot::LocalMachine,
                            "SOFTWARE\\Lumora\\Linestudio\\config\\");
  platform::findRegistryKey(keys, RegistryRoot::CurrentUser,
                            "Software\\Lumora\\LinestudioConsole\\Settings\\");
  std::size_t lines = 0;
  while (!text.empty() && lines++ < 8) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const RegistryValues* found = platform::findRegistryKey(keys, RegistryRoot::LocalMachine, line);
    // A key with values is one the file defines, under the name without case or end backslashes.
    if (found != nullptr && !found->empty()) {
      while (!line.empty() && line.back() == '\\') line.remove_suffix(1);
      std::string lower(line);
      for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      auto defined = keys.find({RegistryRoot::LocalMachine, lower});
      Require(defined != keys.end() && &defined->second == found, "a key found that is not there");
    }
  }
  return 0;
}
