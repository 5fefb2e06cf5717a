// Settings (INI) files read and written with the Windows private-profile rules on POSIX files.
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/TextFile.h"

namespace platform {
namespace {

// Windows serialises its profile calls process-wide; without that, two threads writing
// different keys of one file would each rename their own copy and one change would be lost.
std::mutex g_profileMutex;

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

// One line of a settings file. text is the line as stored, without its line end; name and
// value point into it.
struct ProfileLine {
  enum Kind { kOther, kSection, kEntry };
  std::string_view text;
  Kind kind = kOther;
  std::string_view name;
  std::string_view value;
};

ProfileLine classifyLine(std::string_view text) {
  ProfileLine line;
  line.text = text;
  std::string_view body = text;
  while (!body.empty() && isBlank(body.front())) body.remove_prefix(1);
  if (body.empty() || body.front() == ';') return line;
  if (body.front() == '[') {
    std::size_t close = body.find(']');
    if (close == std::string_view::npos) return line;
    line.kind = ProfileLine::kSection;
    line.name = trimBlanks(body.substr(1, close - 1));
    return line;
  }
  std::size_t equals = body.find('=');
  if (equals == std::string_view::npos) return line;
  line.kind = ProfileLine::kEntry;
  line.name = trimBlanks(body.substr(0, equals));
  line.value = trimBlanks(body.substr(equals + 1));
  return line;
}

// Splits at LF, dropping one CR before it, so CR LF and LF files read alike.
std::vector<ProfileLine> splitLines(std::string_view text) {
  std::vector<ProfileLine> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(classifyLine(line));
  }
  return lines;
}

// The index of the first section header named section, or lines.size().
std::size_t findSection(const std::vector<ProfileLine>& lines, std::string_view section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind == ProfileLine::kSection && equalsNoCase(lines[i].name, section)) return i;
  }
  return lines.size();
}

std::size_t sectionEnd(const std::vector<ProfileLine>& lines, std::size_t header) {
  std::size_t i = header + 1;
  while (i < lines.size() && lines[i].kind != ProfileLine::kSection) ++i;
  return i;
}

// The first key=value line named key in the section lines [begin, end), or end.
std::size_t findEntry(const std::vector<ProfileLine>& lines, std::size_t begin, std::size_t end,
                      std::string_view key) {
  for (std::size_t i = begin; i < end; ++i) {
    if (lines[i].kind == ProfileLine::kEntry && equalsNoCase(lines[i].name, key)) return i;
  }
  return end;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t put = ::write(fd, data.data() + done, data.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// Replaces the file at path with content through a temporary file in the same folder, so the
// file is always either the old or the new text. mode < 0: a new file with the umask's mode.
bool replaceFile(const char* path, const std::string& content, int mode) {
  // Counted up by any thread that writes a file, so that no two temporaries share a name.
  static std::atomic<unsigned> counter{0};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = std::string(path) + ".tmp" + std::to_string(::getpid()) + "-" +
                std::to_string(counter.fetch_add(1));
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = writeAll(fd, content) && (mode < 0 || ::fchmod(fd, static_cast<mode_t>(mode)) == 0) &&
            ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), path) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

// The default as Windows gives it: without its trailing spaces.
std::string_view defaultOf(const char* defaultValue) {
  std::string_view result = defaultValue != nullptr ? defaultValue : "";
  while (!result.empty() && result.back() == ' ') result.remove_suffix(1);
  return result;
}

unsigned copyOut(std::string_view result, char* out, unsigned size) {
  std::size_t count = result.size() < size ? result.size() : size - 1;
  std::memcpy(out, result.data(), count);
  out[count] = '\0';
  return static_cast<unsigned>(count);
}

}  // namespace

unsigned profileReadString(const char* section, const char* key, const char* defaultValue,
                           char* out, unsigned size, const char* path) try {
  if (out == nullptr || size == 0) return 0;
  std::string_view result = defaultOf(defaultValue);

  std::lock_guard<std::mutex> lock(g_profileMutex);
  std::string text;
  int error = 0;
  int mode = 0;
  if (section != nullptr && key != nullptr && path != nullptr &&
      readRegularFile(path, &text, &error, &mode)) {
    std::vector<ProfileLine> lines = splitLines(text);
    std::size_t header = findSection(lines, trimBlanks(section));
    if (header < lines.size()) {
      std::size_t end = sectionEnd(lines, header);
      std::size_t entry = findEntry(lines, header + 1, end, trimBlanks(key));
      if (entry < end) {
        result = lines[entry].value;
        if (result.size() >= 2 && (result.front() == '"' || result.front() == '\'') &&
            result.back() == result.front()) {
          result = result.substr(1, result.size() - 2);
        }
      }
    }
  }

  return copyOut(result, out, size);
} catch (const std::bad_alloc&) {
  // A file that cannot be read for want of memory reads as a missing one.
  return copyOut(defaultOf(defaultValue), out, size);
}

bool profileWriteString(const char* section, const char* key, const char* value,
                        const char* path) try {
  if (section == nullptr || key == nullptr || value == nullptr || path == nullptr) return false;

  std::lock_guard<std::mutex> lock(g_profileMutex);
  std::string text;
  int error = 0;
  int mode = -1;
  if (!readRegularFile(path, &text, &error, &mode) && error != ENOENT) {
    // Rewriting a file that could not be read would lose its content.
    return false;
  }

  std::vector<ProfileLine> lines = splitLines(text);
  std::string entry = std::string(key) + "=" + value;
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t replace = kNone;
  std::size_t insertAt = lines.size();
  std::size_t header = findSection(lines, trimBlanks(section));
  if (header < lines.size()) {
    std::size_t end = sectionEnd(lines, header);
    std::size_t found = findEntry(lines, header + 1, end, trimBlanks(key));
    if (found < end) {
      // The line keeps its indentation and the key's spelling; only the value changes.
      const ProfileLine& old = lines[found];
      std::size_t keyEnd =
          static_cast<std::size_t>(old.name.data() - old.text.data()) + old.name.size();
      entry = std::string(old.text.substr(0, keyEnd)) + "=" + value;
      replace = found;
      insertAt = kNone;
    } else {
      // After the section's last key, so blank lines before the next section stay there.
      insertAt = header + 1;
      for (std::size_t i = header + 1; i < end; ++i) {
        if (lines[i].kind == ProfileLine::kEntry) insertAt = i + 1;
      }
    }
  }

  std::string output;
  output.reserve(text.size() + entry.size() + std::strlen(section) + 8);
  for (std::size_t i = 0; i <= lines.size(); ++i) {
    if (i == insertAt) {
      if (header == lines.size()) output.append("[").append(section).append("]\r\n");
      output.append(entry).append("\r\n");
    }
    if (i == lines.size()) break;
    output.append(i == replace ? std::string_view(entry) : lines[i].text).append("\r\n");
  }
  return replaceFile(path, output, mode);
} catch (const std::bad_alloc&) {
  return false;
}

}  // namespace platform
