// Little-endian encoding of the data channel's wire records.
#include "wire/WireRecords.h"

#include <cstring>

TextRecord DecodeTextRecord(const unsigned char* in) {
  TextRecord record;
  record.tag = GetInt32(in);
  std::memcpy(record.text, in + 4, TEXT_SIZE);
  return record;
}

TextValueRecord DecodeTextValueRecord(const unsigned char* in) {
  TextValueRecord record;
  record.text = DecodeTextRecord(in);
  record.value = GetInt32(in + TEXT_RECORD_SIZE);
  return record;
}

void EncodeTextRecord(const TextRecord& record, unsigned char* out) {
  PutInt32(out, record.tag);
  std::memcpy(out + 4, record.text, TEXT_SIZE);
}

void EncodeTextValueRecord(const TextValueRecord& record, unsigned char* out) {
  EncodeTextRecord(record.text, out);
  PutInt32(out + TEXT_RECORD_SIZE, record.value);
}

int TextLength(const TextRecord& record) {
  const void* end = std::memchr(record.text, '\0', TEXT_SIZE);
  return end != nullptr ? static_cast<int>(static_cast<const char*>(end) - record.text) + 1
                        : TEXT_SIZE;
}

void EncodeTextReply(const TextRecord& record, unsigned char* out) {
  PutInt32(out, 0);
  PutInt32(out + 4, record.tag);
  std::memset(out + 8, 0, TEXT_SIZE);
  std::memcpy(out + 8, record.text, static_cast<std::size_t>(TextLength(record)));
}

void EncodeTextValueReply(const TextValueRecord& record, unsigned char* out) {
  EncodeTextReply(record.text, out);
  PutInt32(out + TEXT_REPLY_SIZE, record.value);
}

PoseHeader DecodePoseHeader(const unsigned char* in) {
  PoseHeader header;
  header.numPoints = GetInt32(in + 260);
  header.mark = GetInt32(in + 264);
  header.x = GetFloat32(in + 272);
  header.y = GetFloat32(in + 276);
  header.z = GetFloat32(in + 280);
  header.rx = GetFloat32(in + 284);
  header.ry = GetFloat32(in + 288);
  header.rz = GetFloat32(in + 292);
  return header;
}

void EncodePoseHeader(const PoseHeader& header, unsigned char* out) {
  std::memset(out, 0, POSE_HEADER_SIZE);
  PutInt32(out + 260, header.numPoints);
  PutInt32(out + 264, header.mark);
  PutFloat32(out + 272, header.x);
  PutFloat32(out + 276, header.y);
  PutFloat32(out + 280, header.z);
  PutFloat32(out + 284, header.rx);
  PutFloat32(out + 288, header.ry);
  PutFloat32(out + 292, header.rz);
}
