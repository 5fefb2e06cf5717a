// The console simulator's scenario events: what each one sends and what answer it expects.
#include "tools/console-sim/ScenarioEvents.h"

#include <algorithm>
#include <cstdio>

#include "tools/console-sim/SyntheticPart.h"

SimScenarioEvents::SimScenarioEvents(const SimulatorOptions& options, SimShared& shared,
                                     SimDataClient& data)
    : options_(options), shared_(shared), data_(data) {}

bool SimScenarioEvents::run(const ScriptEvent& event) {
  switch (event.kind) {
    case ScriptEventKind::Button:
      return sendButton(DATA_BUTTON, event.number);
    case ScriptEventKind::ButtonFinal:
      return sendButton(DATA_BUTTON_FINAL, event.number);
    case ScriptEventKind::Echo:
      return sendEcho(DATA_ECHO);
    case ScriptEventKind::EchoFinal:
      return sendEcho(DATA_ECHO_FINAL);
    case ScriptEventKind::Begin:
      return sendTextValue(DATA_BEGIN, "begin", event.longText, false);
    case ScriptEventKind::ScanBegin:
      return sendText(DATA_SCAN_BEGIN, "scan begin", event.longText);
    case ScriptEventKind::ScanEnd:
      return sendText(DATA_SCAN_END, "scan end", event.longText);
    case ScriptEventKind::AcquireBegin:
      return sendTextValue(DATA_ACQUIRE_BEGIN, "acquire begin", event.longText, false);
    case ScriptEventKind::AcquireEnd:
      return sendTextValue(DATA_ACQUIRE_END, "acquire end", event.longText, false);
    case ScriptEventKind::AcquireOn:
      return sendType(DATA_ACQUIRE_ON);
    case ScriptEventKind::AcquireOff:
      return sendType(DATA_ACQUIRE_OFF);
    case ScriptEventKind::End:
      return sendTextValue(DATA_END, "end", event.longText, true);
    case ScriptEventKind::ProbePoint:
      return sendProbe(DATA_PROBE_POINT_HEADER, DATA_PROBE_POINT, event.values, 0, 0, 0);
    case ScriptEventKind::ProbeVector:
      return sendProbe(DATA_PROBE_VECTOR_HEADER, DATA_PROBE_VECTOR, event.values, event.values[3],
                       event.values[4], event.values[5]);
    case ScriptEventKind::Stripe:
      return data_.sendStripe();
    case ScriptEventKind::Garbage:
      return sendGarbage(event.number);
    case ScriptEventKind::BadCount:
      return sendBadCount(event.number,
                          event.pointsSent >= 0 ? event.pointsSent : std::max(event.number, 0));
    case ScriptEventKind::Cut:
      return sendCut(true);
    case ScriptEventKind::Stall:
      return sendCut(false, event.number);
    case ScriptEventKind::Close:
      return closeData();
    case ScriptEventKind::Quit:
      shared_.transcript().line("quit");
      shared_.requestQuit();
      return true;
  }
  return false;
}

TextRecord SimScenarioEvents::makeText(const char* what, bool longText) {
  TextRecord record{};
  record.tag = ++tag_;
  if (longText) {
    for (int i = 0; i < TEXT_SIZE; ++i) record.text[i] = static_cast<char>('A' + i % 26);
  } else {
    std::snprintf(record.text, TEXT_SIZE, "LineStudio %s %d", what, static_cast<int>(record.tag));
  }
  return record;
}

bool SimScenarioEvents::sendText(std::int32_t type, const char* what, bool longText) {
  TextRecord record = makeText(what, longText);
  SimBytes payload(TEXT_RECORD_SIZE);
  EncodeTextRecord(record, payload.data());
  SimBytes expected(TEXT_REPLY_SIZE);
  EncodeTextReply(record, expected.data());
  return data_.exchange(type, payload, type + 1, expected, 8 + TextLength(record), TEXT_REPLY_SIZE,
                        false);
}

bool SimScenarioEvents::sendTextValue(std::int32_t type, const char* what, bool longText,
                                      bool peerCloses) {
  TextValueRecord record{};
  record.text = makeText(what, longText);
  record.value = -7 * record.text.tag;
  SimBytes payload(TEXT_VALUE_RECORD_SIZE);
  EncodeTextValueRecord(record, payload.data());
  SimBytes expected(TEXT_VALUE_REPLY_SIZE);
  EncodeTextValueReply(record, expected.data());
  return data_.exchange(type, payload, type + 1, expected, 8 + TextLength(record.text),
                        TEXT_REPLY_SIZE, peerCloses);
}

bool SimScenarioEvents::sendButton(std::int32_t type, std::int32_t code) {
  SimBytes payload;
  simAppendInt32(&payload, code);
  SimBytes expected;
  simAppendInt32(&expected, 0);
  simAppendInt32(&expected, code);
  return data_.exchange(type, payload, DATA_BUTTON_ACK, expected, 0, 0, type == DATA_BUTTON_FINAL);
}

bool SimScenarioEvents::sendEcho(std::int32_t type) {
  ++echoNumber_;
  SimBytes payload(ECHO_PAYLOAD_SIZE);
  for (int i = 0; i < ECHO_PAYLOAD_SIZE; ++i) {
    payload[i] = static_cast<unsigned char>(echoNumber_ * 31 + i * 7 + 1);
  }
  SimBytes expected;
  simAppendInt32(&expected, 0);
  expected.insert(expected.end(), payload.begin(), payload.end());
  return data_.exchange(type, payload, DATA_ECHO_ACK, expected, 0, 0, type == DATA_ECHO_FINAL);
}

bool SimScenarioEvents::sendType(std::int32_t type) {
  SimBytes message;
  simAppendInt32(&message, type);
  if (!data_.send(message.data(), message.size())) return false;
  shared_.transcript().line("data %d", type);
  return true;
}

bool SimScenarioEvents::sendProbe(std::int32_t headerType, std::int32_t pointType,
                                  const float* values, float rx, float ry, float rz) {
  PoseHeader header{};
  header.numPoints = 1;
  header.x = values[0];
  header.y = values[1];
  header.z = values[2];
  header.rx = rx;
  header.ry = ry;
  header.rz = rz;
  simEncodePointMessages(headerType, header, pointType, values, 1, &buffer_);
  if (!data_.send(buffer_.data(), buffer_.size())) return false;
  SimTranscript& transcript = shared_.transcript();
  transcript.line("data %d angles %g %g %g", headerType, static_cast<double>(rx),
                  static_cast<double>(ry), static_cast<double>(rz));
  transcript.line("data %d point %g %g %g", pointType, static_cast<double>(values[0]),
                  static_cast<double>(values[1]), static_cast<double>(values[2]));
  return true;
}

bool SimScenarioEvents::sendBadCount(std::int32_t count, std::int32_t sent) {
  const int number = data_.takeStripeNumber();
  PoseHeader header;
  makeStripe(number, sent, options_.stamped, &header, &floats_);
  header.numPoints = count;
  simEncodePointMessages(DATA_LASER_HEADER, header, DATA_LASER_POINTS, floats_.data(),
                         static_cast<std::size_t>(sent), &buffer_);
  if (!data_.send(buffer_.data(), buffer_.size())) return false;
  shared_.transcript().line("data %d stripe %d count %d", DATA_LASER_HEADER, number,
                            static_cast<int>(count));
  shared_.transcript().line("data %d points %d", DATA_LASER_POINTS, static_cast<int>(sent));
  return true;
}

bool SimScenarioEvents::sendCut(bool close, int stallMs) {
  const int number = data_.takeStripeNumber();
  PoseHeader header;
  makeStripe(number, std::max(options_.pointsPerStripe, 2), options_.stamped, &header, &floats_);
  simEncodePointMessages(DATA_LASER_HEADER, header, DATA_LASER_POINTS, floats_.data(),
                         static_cast<std::size_t>(header.numPoints), &buffer_);
  const std::size_t blockStart = 4 + POSE_HEADER_SIZE + 4;
  const std::size_t blockSize = buffer_.size() - blockStart;
  // Half way and off a point boundary, so that neither the block nor a point is whole.
  const std::size_t cutAt = blockStart + std::min(blockSize / 2 + 5, blockSize - 1);
  if (!data_.send(buffer_.data(), cutAt)) return false;
  shared_.transcript().line("data %d stripe %d", DATA_LASER_HEADER, number);
  shared_.transcript().line("data %d %s after %d of %d bytes", DATA_LASER_POINTS,
                            close ? "cut" : "stalled", static_cast<int>(cutAt - blockStart),
                            static_cast<int>(blockSize));
  if (close) {
    data_.close();
  } else if (stallMs > 0) {
    // The stream goes on afterwards, on the next connection.
    if (!shared_.pause(stallMs)) return false;
    shared_.transcript().line("data closed after a stall of %d ms", stallMs);
    data_.close();
  } else {
    // Whatever followed would be read as the rest of the block.
    data_.stopStreaming();
  }
  return true;
}

bool SimScenarioEvents::sendGarbage(int count) {
  std::uniform_int_distribution<int> byte(0, 255);
  buffer_.resize(static_cast<std::size_t>(count));
  for (unsigned char& value : buffer_) value = static_cast<unsigned char>(byte(random_));
  if (!data_.send(buffer_.data(), buffer_.size())) return false;
  shared_.transcript().line("data garbage %d bytes", count);
  return true;
}

bool SimScenarioEvents::closeData() {
  if (!data_.connected()) {
    shared_.transcript().line("data close: not connected");
  } else {
    shared_.transcript().line("data closed");
    data_.close();
  }
  return true;
}
