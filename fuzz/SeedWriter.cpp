// Writes the seed corpora of the fuzz targets: small valid inputs, every data-channel message
// type among them, with the bytes laid out from the wire tables.
//
// Usage: fuzz_seed_writer FOLDER (normally fuzz/corpus); one sub-folder per target.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wire/CommandCodes.h"
#include "wire/WireRecords.h"
#include "wire/WireValues.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string g_folder;

class Seed {
 public:
  Seed& Byte(std::uint8_t value) {
    bytes_.push_back(value);
    return *this;
  }
  Seed& Int(std::int32_t value) {
    unsigned char word[4];
    PutInt32(word, value);
    bytes_.insert(bytes_.end(), word, word + 4);
    return *this;
  }
  Seed& Float(float value) {
    unsigned char word[4];
    PutFloat32(word, value);
    bytes_.insert(bytes_.end(), word, word + 4);
    return *this;
  }
  Seed& Zeros(std::size_t count) {
    bytes_.insert(bytes_.end(), count, 0);
    return *this;
  }
  Seed& Text(const std::string& text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  // A zero-terminated text field of a fixed size, the bytes behind the terminator zero.
  Seed& Field(const std::string& text, std::size_t size) {
    Text(text);
    return Zeros(size - text.size());
  }

  // TextRecord: tag at 0, text at 4 (256 bytes).
  Seed& TextRecord(std::int32_t tag, const std::string& text) {
    return Int(tag).Field(text, TEXT_SIZE);
  }
  // TextValueRecord: the TextRecord, value at 260.
  Seed& TextValueRecord(std::int32_t tag, const std::string& text, std::int32_t value) {
    return TextRecord(tag, text).Int(value);
  }
  // PoseHeader: numPoints at 260, mark at 264, x y z at 272, rx ry rz at 284; 296 bytes.
  Seed& Header(std::int32_t points, std::int32_t mark, float x, float rx, float ry, float rz) {
    Zeros(260).Int(points).Int(mark).Zeros(4);
    return Float(x).Float(2.0f).Float(3.0f).Float(rx).Float(ry).Float(rz);
  }
  // count points of x, y, z.
  Seed& Points(int count) {
    for (int i = 0; i < 3 * count; ++i) Float(0.5f * static_cast<float>(i));
    return *this;
  }

  void Write(const std::string& target, const std::string& name) const {
    std::string folder = g_folder + "/" + target;
    ::mkdir(folder.c_str(), 0777);
    std::string path = folder + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes_.data(), 1, bytes_.size(), file) != bytes_.size() ||
        std::fclose(file) != 0) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      std::exit(1);
    }
  }

 private:
  Bytes bytes_;
};

// Flag byte of fuzz_data_channel.
constexpr std::uint8_t kLaser = 1;
constexpr std::uint8_t kAuto = 2;

void DataChannelSeeds() {
  const char* target = "fuzz_data_channel";
  Seed().Byte(kLaser).Int(DATA_BEGIN).TextValueRecord(1, "begin", 7).Write(target, "begin");
  Seed().Byte(kLaser).Int(DATA_SCAN_BEGIN).TextRecord(2, "scan").Write(target, "scan_begin");
  Seed()
      .Byte(kLaser)
      .Int(DATA_ACQUIRE_BEGIN)
      .TextValueRecord(3, "acq", 1)
      .Write(target, "acquire_begin");
  Seed().Byte(kLaser).Int(DATA_END).TextValueRecord(4, "end", 0).Write(target, "end");
  Seed().Byte(kLaser).Int(DATA_SCAN_END).TextRecord(5, "scan end").Write(target, "scan_end");
  Seed().Byte(kLaser).Int(DATA_ACQUIRE_END).TextValueRecord(6, "", -1).Write(target, "acquire_end");
  Seed()
      .Byte(kLaser)
      .Int(DATA_LASER_HEADER)
      .Header(3, 0, 10.0f, 30.0f, 45.0f, 90.0f)
      .Int(DATA_LASER_POINTS)
      .Points(3)
      .Write(target, "laser_stripe");
  Seed()
      .Byte(0)
      .Int(DATA_LASER_HEADER)
      .Header(2, 0, 1.0f, 0.0f, 0.0f, 0.0f)
      .Int(DATA_LASER_POINTS)
      .Points(2)
      .Write(target, "laser_inactive");
  Seed()
      .Byte(kAuto)
      .Int(DATA_PROBE_VECTOR_HEADER)
      .Header(1, 0, 0.0f, 0.0f, 90.0f, 0.0f)
      .Int(DATA_PROBE_VECTOR)
      .Points(1)
      .Write(target, "probe_vector");
  Seed()
      .Byte(kAuto)
      .Int(DATA_PROBE_POINT_HEADER)
      .Header(1, 0, 0.0f, 180.0f, 0.0f, 0.0f)
      .Int(DATA_PROBE_POINT)
      .Points(1)
      .Write(target, "probe_point");
  Seed()
      .Byte(0)
      .Int(DATA_OTHER_HEADER)
      .Header(2, 0, 0.0f, 0.0f, 0.0f, 0.0f)
      .Int(DATA_OTHER_POINTS)
      .Points(2)
      .Write(target, "other_points");
  // Texts of 256 characters without terminator come back whole and no further.
  Seed()
      .Byte(0)
      .Int(DATA_SCAN_BEGIN)
      .Int(8)
      .Text(std::string(TEXT_SIZE, 'T'))
      .Int(DATA_ACQUIRE_END)
      .Int(9)
      .Text(std::string(TEXT_SIZE, 'V'))
      .Int(-5)
      .Write(target, "text_unterminated");
  // The largest block the plug-in takes, 120000 bytes: the fuzzer cannot grow one this long.
  Seed()
      .Byte(kLaser)
      .Int(DATA_LASER_HEADER)
      .Header(MAX_BLOCK_POINTS, 0, 0.0f, 0.0f, 0.0f, 0.0f)
      .Int(DATA_LASER_POINTS)
      .Points(MAX_BLOCK_POINTS)
      .Write(target, "block_full");
  Seed().Byte(0).Int(DATA_ACQUIRE_OFF).Int(DATA_ACQUIRE_ON).Write(target, "acquire_off_on");
  Seed()
      .Byte(0)
      .Int(DATA_BUTTON)
      .Int(1)
      .Int(DATA_BUTTON)
      .Int(2)
      .Int(DATA_BUTTON_FINAL)
      .Int(4)
      .Write(target, "buttons");
  Seed()
      .Byte(0)
      .Int(DATA_ECHO)
      .Text("0123456789abcdefghijklmn")
      .Int(DATA_ECHO_FINAL)
      .Zeros(ECHO_PAYLOAD_SIZE)
      .Write(target, "echo");
  Seed().Byte(0).Int(3329).Int(0).Int(DATA_ACQUIRE_ON).Write(target, "unknown_types");
  // A block longer than the buffer is read and dropped; this one ends before it is whole.
  Seed()
      .Byte(kLaser)
      .Int(DATA_LASER_HEADER)
      .Header(MAX_BLOCK_POINTS + 1, 0, 0.0f, 0.0f, 0.0f, 0.0f)
      .Int(DATA_LASER_POINTS)
      .Points(2)
      .Write(target, "block_too_long");
  Seed()
      .Byte(kLaser)
      .Int(DATA_LASER_HEADER)
      .Header(-1, 0, 0.0f, 0.0f, 0.0f, 0.0f)
      .Int(DATA_LASER_POINTS)
      .Int(DATA_ACQUIRE_ON)
      .Write(target, "block_negative");
  // A whole measurement: begin, a stripe, a probe point under DATA_BEGIN's mark, a button, end.
  Seed()
      .Byte(kLaser | kAuto)
      .Int(DATA_BEGIN)
      .TextValueRecord(1, "LineStudio", 2)
      .Int(DATA_SCAN_BEGIN)
      .TextRecord(2, "scan")
      .Int(DATA_ACQUIRE_BEGIN)
      .TextValueRecord(3, "acquire", 1)
      .Int(DATA_LASER_HEADER)
      .Header(4, 5, 100.0f, 10.0f, 20.0f, 30.0f)
      .Int(DATA_LASER_POINTS)
      .Points(4)
      .Int(DATA_PROBE_VECTOR)
      .Int(DATA_BUTTON)
      .Int(2)
      .Int(DATA_SCAN_END)
      .TextRecord(4, "scan end")
      .Int(DATA_ACQUIRE_END)
      .TextValueRecord(5, "acquire end", 0)
      .Int(DATA_END)
      .TextValueRecord(6, "end", 0)
      .Write(target, "session");
}

// Script pieces of fuzz_command_replies: a control byte, then the reply.
Seed& WholeInt(Seed& seed, std::int32_t value) { return seed.Byte(0).Int(value); }
Seed& ProbeReply(Seed& seed, float diameter) {
  return seed.Byte(0).Int(0).Float(diameter).Zeros(PROBE_REPLY_SIZE - 8);
}
Seed& Handshake(Seed& seed, std::int32_t sound) {
  WholeInt(seed, 1);
  WholeInt(seed, 2);
  WholeInt(seed, sound);
  return WholeInt(seed, 3);
}

void CommandReplySeeds() {
  const char* target = "fuzz_command_replies";
  {
    // Probe active: sensor query 0, then the diameter for SensorGet and for SensorGetList.
    Seed seed;
    seed.Byte(0);
    Handshake(seed, 1);
    WholeInt(seed, 0);
    ProbeReply(seed, 6.0f);
    ProbeReply(seed, 6.0f).Write(target, "probe");
  }
  {
    Seed seed;
    seed.Byte(1);
    Handshake(seed, 0);
    WholeInt(seed, 1);
    ProbeReply(seed, 60.0f).Write(target, "laser");
  }
  {
    // The second handshake reply cut to two bytes, then the console hangs up.
    Seed seed;
    seed.Byte(0);
    WholeInt(seed, 1);
    seed.Byte(2 | 2 << 2).Byte(0x10).Byte(0x20).Write(target, "short_reply");
  }
  {
    // Three bytes too many after the first reply: every later reply is out of step.
    Seed seed;
    seed.Byte(0).Byte(3 | 3 << 2).Int(1).Byte(9).Byte(9).Byte(9);
    WholeInt(seed, 2);
    WholeInt(seed, 5);
    WholeInt(seed, 3);
    WholeInt(seed, 0);
    ProbeReply(seed, 1.5f).Write(target, "overlong_reply");
  }
  Seed().Byte(0).Write(target, "silent");
  {
    // Queries, a sound setting and a second handshake.
    Seed seed;
    seed.Byte(2 | 4);
    Handshake(seed, 1);
    WholeInt(seed, 0);
    ProbeReply(seed, 2.0f);
    ProbeReply(seed, 2.0f);
    Handshake(seed, 0);
    WholeInt(seed, 1).Write(target, "second_handshake");
  }
}

// Section, key and value to write, each ended by a zero byte, then the file's text.
Seed Profile(const std::string& section, const std::string& key, const std::string& value,
             const std::string& text) {
  Seed seed;
  seed.Text(section).Byte(0).Text(key).Byte(0).Text(value).Byte(0).Text(text);
  return seed;
}

void ProfileSeeds() {
  const char* target = "fuzz_profile";
  Profile("Lumora", "DisplayToolBar", "0",
          "[Lumora]\r\nDisplayToolBar=1\r\nDisplayStatusBar=0\r\nTypeScanning=1\r\n")
      .Write(target, "lumora");
  Profile("Lumora", "TypeScanning", "-3", "[Other]\nKey = \"quoted\" \n; comment\n")
      .Write(target, "other_section");
  Profile("Lumora", "DisplayStatusBar", "abc", "").Write(target, "empty_file");
  Profile("lumora", "typescanning", "7",
          "  [ LUMORA ]  \r\n  TypeScanning = 0 \r\n\r\n[Next]\r\nA='x'\r\n[Lumora]\r\nB=2")
      .Write(target, "case_and_blanks");
  Profile("Lumora", "DisplayToolBar", "1", "[Lumora\nDisplayToolBar=5\n=empty key\n[]\nx=y\n")
      .Write(target, "odd_lines");
}

void RegistrySeeds() {
  const char* target = "fuzz_registry_file";
  Seed()
      .Text("Windows Registry Editor Version 5.00\r\n\r\n")
      .Text("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Lumora\\Linestudio\\config]\r\n")
      .Text("\"AppDir\"=\"C:\\\\Program Files\\\\Lumora\\\\\"\r\n\r\n")
      .Text("[HKEY_CURRENT_USER\\Software\\Lumora\\LinestudioConsole\\Settings\\]\r\n")
      .Text("\"HideSW\"=dword:00000001\r\n")
      .Write(target, "lumora");
  Seed()
      .Text("\xEF\xBB\xBFREGEDIT4\n")
      .Text("[HKEY_LOCAL_MACHINE\\Software\\Test]\n")
      .Text("@=\"default \\\"quoted\\\"\"\n")
      .Text("\"Path\"=hex(2):43,3a,5c,00\n")
      .Text("\"Blob\"=hex:01,02,03,\\\n  04,05\n")
      .Text("\"Number\"=DWORD:FFFFFFFF\n")
      .Write(target, "hex_values");
  Seed()
      .Text("Windows Registry Editor Version 5.00\n")
      .Text("[-HKEY_LOCAL_MACHINE\\Gone]\n\"A\"=\"a\"\n")
      .Text("[HKEY_CLASSES_ROOT\\Other]\n\"B\"=\"b\"\n")
      .Text("; comment\n[HKEY_CURRENT_USER\\A\\B\\C]\n\"bad\"=dword:123456789\n\"ok\"=\"\"\n")
      .Write(target, "deletions_and_junk");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  g_folder = argv[1];
  ::mkdir(g_folder.c_str(), 0777);
  DataChannelSeeds();
  CommandReplySeeds();
  ProfileSeeds();
  RegistrySeeds();
  return 0;
}
