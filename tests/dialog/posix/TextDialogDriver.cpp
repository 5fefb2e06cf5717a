// The dialog driver for the POSIX text dialog: commands down one pipe, lines back up another.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "DialogDriver.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(5);
// A press may run a whole connection sequence before its action returns.
constexpr auto kPressWait = std::chrono::seconds(20);

class TextDialogDriver : public DialogDriver {
 public:
  TextDialogDriver() {
    if (::pipe2(input_, O_CLOEXEC) != 0 || ::pipe2(output_, O_CLOEXEC) != 0) return;
    SetTestEnvironment("KVT_DIALOG_INPUT", std::to_string(input_[0]));
    SetTestEnvironment("KVT_DIALOG_OUTPUT", std::to_string(output_[1]));
  }

  ~TextDialogDriver() override {
    ::unsetenv("KVT_DIALOG_INPUT");
    ::unsetenv("KVT_DIALOG_OUTPUT");
    for (int descriptor : {input_[0], input_[1], output_[0], output_[1]}) {
      if (descriptor >= 0) ::close(descriptor);
    }
  }

  bool WaitOpen() override {
    return WaitFor([](const std::string& line) { return EventOf(line) == "open"; }, kWait);
  }

  bool WaitClosed() override {
    return closed_ || WaitFor([this](const std::string&) { return closed_; }, kWait);
  }

  std::vector<ShownControl> Controls() override {
    std::vector<ShownControl> controls;
    if (closed_ || !Send("show")) return controls;
    Clock::time_point deadline = Clock::now() + kWait;
    std::string line;
    while (NextLine(&line, deadline)) {
      if (line.rfind("commands:", 0) == 0) return controls;
      ShownControl control;
      if (ParseControl(line, &control)) controls.push_back(control);
    }
    return {};
  }

  bool Click(int id) override {
    std::string done = "pressed " + std::to_string(id);
    return Send("press " + std::to_string(id)) &&
           WaitFor([&](const std::string& line) { return line == done; }, kPressWait);
  }

  bool Ok() override { return Send("ok") && WaitClosed(); }
  bool Cancel() override { return Send("cancel") && WaitClosed(); }
  bool CloseBox() override { return Send("close") && WaitClosed(); }
  bool Cover() override { return true; }

  bool WaitRaised() override {
    return raised_ > 0 || WaitFor([this](const std::string&) { return raised_ > 0; }, kWait);
  }

  void ForceClose() override {
    // The end of the input acts as the close box.
    if (input_[1] >= 0) ::close(input_[1]);
    input_[1] = -1;
  }

 private:
  // The event of a line "dialog ID "CAPTION" EVENT ...", or "" for other lines.
  static std::string EventOf(const std::string& line) {
    std::string::size_type quote = line.rfind('"');
    if (line.rfind("dialog ", 0) != 0 || quote == std::string::npos) return "";
    std::istringstream rest(line.substr(quote + 1));
    std::string event;
    rest >> event;
    return event;
  }

  // "check 1027 "Always ..." 1" and the like.
  static bool ParseControl(const std::string& line, ShownControl* control) {
    std::istringstream words(line);
    std::string kind;
    if (!(words >> kind >> control->id)) return false;
    if (kind != "defbutton" && kind != "button" && kind != "check" && kind != "group") {
      return false;
    }
    std::string::size_type open = line.find('"');
    std::string::size_type close = line.rfind('"');
    if (open == std::string::npos || close == open) return false;
    control->kind = kind;
    control->text = line.substr(open + 1, close - open - 1);
    control->checked = -1;
    if (kind == "check") control->checked = std::atoi(line.c_str() + close + 1);
    return true;
  }

  bool Send(const std::string& command) {
    if (input_[1] < 0) return false;
    std::string line = command + "\n";
    return ::write(input_[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
  }

  // The next line the dialog wrote, noting the events it reports on the way.
  bool NextLine(std::string* line, Clock::time_point deadline) {
    for (;;) {
      std::string::size_type end = pending_.find('\n');
      if (end != std::string::npos) {
        *line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        std::string event = EventOf(*line);
        if (event == "raised") ++raised_;
        if (event == "closed") closed_ = true;
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd ready{output_[0], POLLIN, 0};
      if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[512];
      ssize_t got = ::read(output_[0], buffer, sizeof buffer);
      if (got <= 0) return false;
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  // Reads lines until one matches or the wait is over.
  bool WaitFor(const std::function<bool(const std::string&)>& matches, Clock::duration wait) {
    Clock::time_point deadline = Clock::now() + wait;
    std::string line;
    while (NextLine(&line, deadline)) {
      if (matches(line)) return true;
    }
    return false;
  }

  int input_[2] = {-1, -1};
  int output_[2] = {-1, -1};
  std::string pending_;
  int raised_ = 0;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<DialogDriver> DialogDriver::Create() {
  return std::make_unique<TextDialogDriver>();
}

void SetTestEnvironment(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

MessageBoxCloser::MessageBoxCloser() = default;
MessageBoxCloser::~MessageBoxCloser() = default;
