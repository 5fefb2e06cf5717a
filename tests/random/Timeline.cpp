// The scenario's timeline and its print-out beside the console's transcripts.
#include "Timeline.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

std::string Format(const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  return text;
}

// "data 3376 stripe N" followed by "data 3392 points K": one stripe, folded with its neighbours.
bool StripeNumber(const std::string& text, long* number) {
  return std::sscanf(text.c_str(), "data 3376 stripe %ld", number) == 1 &&
         text.find("count") == std::string::npos;
}
bool PointsLine(const std::string& text) { return text.rfind("data 3392 points ", 0) == 0; }

}  // namespace

void Timeline::Add(const std::string& text) {
  const double ms = Now();
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.push_back({ms, text});
}

void Timeline::Note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  Add(text);
}

void Timeline::Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = "FAILED: " + Format(format, args);
  va_end(args);
  ++failures_;
  std::fprintf(stderr, "%9.3f %s\n", Now(), text.c_str());
  std::fflush(stderr);
  Add(text);
}

std::vector<Timeline::Line> Timeline::Lines() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}

void Timeline::Print(const std::vector<Transcript>& transcripts) const {
  struct Merged {
    double ms;
    int source;  // 0 the host's side, then the transcripts in order
    std::string text;
  };
  std::vector<Merged> merged;
  for (const Line& line : Lines()) merged.push_back({line.ms, 0, "host    " + line.text});
  int source = 0;
  for (const Transcript& transcript : transcripts) {
    ++source;
    std::ifstream in(transcript.path);
    std::string text;
    while (std::getline(in, text)) {
      char* rest = nullptr;
      double ms = std::strtod(text.c_str(), &rest);
      if (rest == text.c_str()) continue;
      while (*rest == ' ') ++rest;
      merged.push_back({ms, source, transcript.prefix + " " + rest});
    }
  }
  std::stable_sort(merged.begin(), merged.end(),
                   [](const Merged& a, const Merged& b) { return a.ms < b.ms; });
  for (std::size_t i = 0; i < merged.size(); ++i) {
    // A run of whole stripes from one console becomes one line.
    const std::size_t prefix = merged[i].text.find(' ') + 1;
    long first = 0;
    if (merged[i].source != 0 && StripeNumber(merged[i].text.substr(prefix), &first)) {
      long last = first;
      std::size_t j = i + 1;
      long number = 0;
      while (j < merged.size() && merged[j].source == merged[i].source &&
             (PointsLine(merged[j].text.substr(prefix)) ||
              (StripeNumber(merged[j].text.substr(prefix), &number) && number == last + 1))) {
        if (!PointsLine(merged[j].text.substr(prefix))) last = number;
        ++j;
      }
      if (last > first) {
        std::printf("%10.3f %sstripes %ld to %ld\n", merged[i].ms,
                    merged[i].text.substr(0, prefix).c_str(), first, last);
        i = j - 1;
        continue;
      }
    }
    std::printf("%10.3f %s\n", merged[i].ms, merged[i].text.c_str());
  }
  std::fflush(stdout);
}
