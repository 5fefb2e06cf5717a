// Parsing of registry export (.reg) text into keys and values.
#include "platform/posix/RegistryFile.h"

#include "platform/posix/TextFile.h"

namespace platform {
namespace {

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = lowerAscii(c);
  return lower;
}

// Consumes prefix from the front of text when it is there, compared without case.
bool consumeNoCase(std::string_view* text, std::string_view prefix) {
  if (text->size() < prefix.size() || lowerCase(text->substr(0, prefix.size())) != prefix) {
    return false;
  }
  text->remove_prefix(prefix.size());
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Consumes one to maxDigits hex digits from the front of text.
bool consumeHex(std::string_view* text, std::size_t maxDigits, std::uint32_t* number) {
  std::size_t digits = 0;
  std::uint32_t result = 0;
  while (digits < text->size() && hexDigit((*text)[digits]) >= 0) {
    if (++digits > maxDigits) return false;
    result = result << 4 | static_cast<std::uint32_t>(hexDigit((*text)[digits - 1]));
  }
  if (digits == 0) return false;
  text->remove_prefix(digits);
  *number = result;
  return true;
}

// Lines of the text without their CR LF or LF ends and without surrounding blanks.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool next(std::string_view* line) {
    if (text_.empty()) return false;
    std::size_t end = text_.find('\n');
    std::string_view raw = text_.substr(0, end);
    text_.remove_prefix(end == std::string_view::npos ? text_.size() : end + 1);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    *line = trimBlanks(raw);
    return true;
  }

 private:
  std::string_view text_;
};

// Consumes a quoted text with \\ and \" escapes from the front of text.
bool consumeQuoted(std::string_view* text, std::string* out) {
  if (text->empty() || text->front() != '"') return false;
  for (std::size_t i = 1; i < text->size(); ++i) {
    char c = (*text)[i];
    if (c == '"') {
      text->remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (++i == text->size()) return false;
      c = (*text)[i];
      if (c != '\\' && c != '"') return false;
    }
    out->push_back(c);
  }
  return false;
}

// Comma-separated bytes; a backslash at the end of a line continues the list on the next.
bool parseHexList(std::string_view text, LineReader* lines, std::vector<std::uint8_t>* out) {
  for (;;) {
    text = trimBlanks(text);
    if (text == "\\") {
      if (!lines->next(&text)) return true;
      continue;
    }
    if (text.empty()) return true;
    std::uint32_t byte = 0;
    if (!consumeHex(&text, 2, &byte)) return false;
    out->push_back(static_cast<std::uint8_t>(byte));
    text = trimBlanks(text);
    if (!text.empty() && text.front() == ',') {
      text.remove_prefix(1);
    } else if (!text.empty() && text != "\\") {
      return false;
    }
  }
}

// Parses the data after "name=": "text", dword:, hex: or hex(type):.
bool parseData(std::string_view text, LineReader* lines, RegistryValue* value) {
  if (!text.empty() && text.front() == '"') {
    std::string string;
    if (!consumeQuoted(&text, &string) || !trimBlanks(text).empty()) return false;
    value->type = kRegSz;
    value->data.assign(string.begin(), string.end());
    value->data.push_back(0);
    return true;
  }
  if (consumeNoCase(&text, "dword:")) {
    std::uint32_t number = 0;
    if (!consumeHex(&text, 8, &number) || !trimBlanks(text).empty()) return false;
    value->type = kRegDword;
    for (int shift = 0; shift < 32; shift += 8) {
      value->data.push_back(static_cast<std::uint8_t>(number >> shift));
    }
    return true;
  }
  if (!consumeNoCase(&text, "hex")) return false;
  value->type = kRegBinary;
  if (!text.empty() && text.front() == '(') {
    text.remove_prefix(1);
    if (!consumeHex(&text, 8, &value->type) || text.empty() || text.front() != ')') return false;
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() != ':') return false;
  text.remove_prefix(1);
  return parseHexList(text, lines, &value->data);
}

// Windows writes the text of expandable and multi-strings into a version 5 file in UTF-16: the
// ANSI query that the plug-in makes gets it as 8-bit text, each character that has no 8-bit form
// as '?'.
void narrowWideText(std::vector<std::uint8_t>* data) {
  std::vector<std::uint8_t> narrow;
  for (std::size_t at = 0; at + 1 < data->size(); at += 2) {
    const unsigned unit = (*data)[at] | ((*data)[at + 1] << 8);
    narrow.push_back(unit < 0x100 ? static_cast<std::uint8_t>(unit) : '?');
  }
  data->swap(narrow);
}

// A "[root\path]" line: the key's values, or null for deletions, unknown roots and junk.
RegistryValues* openKey(RegistryKeys* keys, std::string_view line) {
  if (line.size() < 2 || line.back() != ']') return nullptr;
  std::string_view name = line.substr(1, line.size() - 2);
  std::size_t separator = name.find('\\');
  std::string root = lowerCase(name.substr(0, separator));
  std::string_view path =
      separator == std::string_view::npos ? std::string_view() : name.substr(separator + 1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (root == "hkey_local_machine") return &(*keys)[{RegistryRoot::LocalMachine, lowerCase(path)}];
  if (root == "hkey_current_user") return &(*keys)[{RegistryRoot::CurrentUser, lowerCase(path)}];
  return nullptr;
}

}  // namespace

RegistryKeys parseRegistryFile(std::string_view text) {
  RegistryKeys keys;
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  LineReader lines(text);
  std::string_view line;
  if (!lines.next(&line) ||
      (line != "Windows Registry Editor Version 5.00" && line != "REGEDIT4")) {
    return keys;
  }
  const bool wideText = line != "REGEDIT4";
  RegistryValues* key = nullptr;
  while (lines.next(&line)) {
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      key = openKey(&keys, line);
      continue;
    }
    std::string name;
    if (line.front() == '@') {
      line.remove_prefix(1);
    } else if (!consumeQuoted(&line, &name)) {
      continue;
    }
    line = trimBlanks(line);
    if (line.empty() || line.front() != '=') continue;
    RegistryValue value;
    // Parsed even without a key, so that a hex list's continuation lines are consumed.
    if (parseData(trimBlanks(line.substr(1)), &lines, &value) && key != nullptr) {
      if (wideText && (value.type == kRegExpandSz || value.type == kRegMultiSz)) {
        narrowWideText(&value.data);
      }
      (*key)[lowerCase(name)] = std::move(value);
    }
  }
  return keys;
}

const RegistryValues* findRegistryKey(const RegistryKeys& keys, RegistryRoot root,
                                      std::string_view subKey) {
  while (!subKey.empty() && subKey.back() == '\\') subKey.remove_suffix(1);
  std::string path = lowerCase(subKey);
  auto exact = keys.find({root, path});
  if (exact != keys.end()) return &exact->second;
  // The root, and a key named only as a parent in the file, exist without values.
  static const RegistryValues kNoValues;
  if (path.empty()) return &kNoValues;
  std::string prefix = path + '\\';
  auto child = keys.lower_bound({root, prefix});
  if (child != keys.end() && child->first.first == root &&
      child->first.second.compare(0, prefix.size(), prefix) == 0) {
    return &kNoValues;
  }
  return nullptr;
}

}  // namespace platform
