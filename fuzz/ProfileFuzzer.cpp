// libFuzzer target: the settings-file reader and writer on arbitrary file text, with the property
// that a written key reads back and that the write changes no other key.
//
// Input: section, key and value to write, each ended by a zero byte, then the file's text.
// Further sections and keys to read are taken from the text's own lines.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/profile.h"

namespace {

constexpr std::size_t kMaxNames = 4;
constexpr unsigned kReadSize = 16384;  // more than any value of an input of -max_len bytes

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_profile: %s\n", what);
  std::abort();
}

std::string& Folder() {
  static std::string folder;
  return folder;
}

std::string FilePath() { return Folder() + "/KvtScanner.ini"; }

void RemoveFolder() {
  ::unlink(FilePath().c_str());
  ::rmdir(Folder().c_str());
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Names compare as the reader compares them: blanks around them dropped, ASCII case ignored.
bool SameName(std::string_view a, std::string_view b) {
  a = Trim(a);
  b = Trim(b);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Takes text up to the next zero byte (or all of it) from the front of input.
std::string TakeField(std::string_view* input) {
  std::size_t end = input->find('\0');
  std::string field(input->substr(0, end));
  input->remove_prefix(end == std::string_view::npos ? input->size() : end + 1);
  return field;
}

void AddName(std::vector<std::string>* names, std::string_view name) {
  name = name.substr(0, name.find('\0'));  // a C string ends there
  if (names->size() < kMaxNames) names->emplace_back(name);
}

// Section names of "[...]" lines and key names of "...=" lines, the first few of each.
void Harvest(std::string_view text, std::vector<std::string>* sections,
             std::vector<std::string>* keys) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.front() == '[') {
      AddName(sections, line.substr(1, line.find(']') - 1));
    } else if (line.find('=') != std::string_view::npos) {
      AddName(keys, line.substr(0, line.find('=')));
    }
  }
}

std::string Read(const std::string& section, const std::string& key, unsigned size) {
  std::vector<char> out(size, 'x');
  unsigned count = platform::profileReadString(section.c_str(), key.c_str(), "", out.data(), size,
                                               FilePath().c_str());
  Require(count < size, "read more characters than the buffer holds");
  Require(out[count] == '\0', "value not terminated after its characters");
  return std::string(out.data(), count);
}

// A write whose line reads back as key=value in a section of that name: nothing in the names
// or the value ends a line, closes the header or starts a comment.
bool WellFormed(const std::string& section, const std::string& key, const std::string& value) {
  std::string_view trimmedKey = Trim(key);
  return section.find_first_of("]\n") == std::string::npos &&
         key.find_first_of("=\n") == std::string::npos &&
         (trimmedKey.empty() || (trimmedKey.front() != ';' && trimmedKey.front() != '[')) &&
         value.find('\n') == std::string::npos;
}

// A value that comes back unchanged: reading drops blanks around it and one pair of quotes.
bool ComesBack(const std::string& value) {
  bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front();
  return Trim(value).size() == value.size() && !quoted && value.size() < kReadSize;
}

void WriteFile(std::string_view text) {
  std::FILE* file = std::fopen(FilePath().c_str(), "wb");
  Require(file != nullptr, "cannot create the settings file");
  Require(std::fwrite(text.data(), 1, text.size(), file) == text.size(), "cannot write the file");
  Require(std::fclose(file) == 0, "cannot close the settings file");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kvt-fuzz-profile-XXXXXX";
  Require(::mkdtemp(pattern.data()) != nullptr, "cannot create a temporary folder");
  Folder() = pattern;
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string section = TakeField(&input);
  const std::string key = TakeField(&input);
  const std::string value = TakeField(&input);
  WriteFile(input);

  std::vector<std::string> sections{section};
  std::vector<std::string> keys{key};
  Harvest(input, &sections, &keys);

  // Before the write: every pair, whole and into a small buffer, which gets a prefix.
  std::vector<std::pair<std::size_t, std::string>> before;
  for (std::size_t s = 0; s < sections.size(); ++s) {
    for (std::size_t k = 0; k < keys.size(); ++k) {
      std::string whole = Read(sections[s], keys[k], kReadSize);
      unsigned small = 1 + static_cast<unsigned>((s * 7 + k * 3 + size) % 12);
      std::string part = Read(sections[s], keys[k], small);
      Require(part == whole.substr(0, small - 1), "a small buffer got other than a prefix");
      before.emplace_back(s * keys.size() + k, std::move(whole));
    }
  }

  Require(
      platform::profileWriteString(section.c_str(), key.c_str(), value.c_str(), FilePath().c_str()),
      "writing a key failed");
  if (!WellFormed(section, key, value)) return 0;

  if (ComesBack(value)) {
    Require(Read(section, key, kReadSize) == value, "the written value does not read back");
  }
  for (const auto& [index, old] : before) {
    const std::string& s = sections[index / keys.size()];
    const std::string& k = keys[index % keys.size()];
    if (SameName(s, section) && SameName(k, key)) continue;
    Require(Read(s, k, kReadSize) == old, "writing one key changed another");
  }
  return 0;
}
