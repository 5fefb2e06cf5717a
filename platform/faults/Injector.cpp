// The fault plan, the call counts of each site and the report.
#include "platform/faults/Injector.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace platform::faults {
namespace {

struct Plan {
  std::string function;  // "" counts only
  std::uintptr_t offset = 0;
  std::string kind;
  long call = 0;
};

struct SiteRecord {
  long calls = 0;
  std::string kinds;
};

std::atomic<bool> g_armed{false};
std::mutex g_mutex;
Plan* g_plan = nullptr;
std::map<std::pair<std::string, std::uintptr_t>, SiteRecord>* g_sites = nullptr;
std::string* g_reportPath = nullptr;
std::uintptr_t g_moduleBase = 0;
// Set while the injector itself runs on a thread: its own allocations are never counted.
thread_local bool t_inside = false;

void append(const std::string& line) {
  if (g_reportPath == nullptr || g_reportPath->empty()) return;
  if (std::FILE* file = std::fopen(g_reportPath->c_str(), "a")) {
    std::fputs(line.c_str(), file);
    std::fclose(file);
  }
}

bool alreadyFired() {
  std::FILE* file = std::fopen(g_reportPath->c_str(), "r");
  if (file == nullptr) return false;
  char line[256];
  bool fired = false;
  while (!fired && std::fgets(line, sizeof line, file) != nullptr) {
    fired = std::strncmp(line, "fired ", 6) == 0;
  }
  std::fclose(file);
  return fired;
}

// "FUNCTION@0xOFFSET:KIND:N"
bool parsePlan(const char* text, Plan* plan) {
  const char* at = std::strchr(text, '@');
  const char* colon = at != nullptr ? std::strchr(at, ':') : nullptr;
  const char* second = colon != nullptr ? std::strchr(colon + 1, ':') : nullptr;
  if (second == nullptr) return false;
  plan->function.assign(text, at);
  plan->offset = std::strtoull(at + 1, nullptr, 16);
  plan->kind.assign(colon + 1, second);
  plan->call = std::strtol(second + 1, nullptr, 10);
  return !plan->function.empty() && plan->call > 0;
}

std::string hex(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
  return text;
}

}  // namespace

int decide(const char* function, const void* returnAddress,
           std::initializer_list<const char*> kinds) {
  if (!g_armed.load(std::memory_order_acquire) || t_inside) return 0;
  t_inside = true;
  int fire = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_sites != nullptr) {
      std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(returnAddress) - g_moduleBase;
      SiteRecord& site = (*g_sites)[{function, offset}];
      ++site.calls;
      if (site.kinds.empty()) {
        for (const char* kind : kinds)
          site.kinds += (site.kinds.empty() ? "" : ",") + std::string(kind);
      }
      const Plan& plan = *g_plan;
      if (site.calls == plan.call && plan.offset == offset && plan.function == function) {
        int index = 1;
        for (const char* kind : kinds) {
          if (plan.kind == kind) fire = index;
          ++index;
        }
        if (fire != 0) {
          append("fired " + plan.function + " " + hex(offset) + " " + plan.kind + " " +
                 std::to_string(plan.call) + "\n");
        }
      }
    }
  }
  t_inside = false;
  return fire;
}

void armFromEnvironment() {
  const char* text = std::getenv("KVT_FAULTS");
  if (text == nullptr || *text == '\0') return;
  t_inside = true;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&armFromEnvironment), &info) != 0) {
      g_moduleBase = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    }
    const char* report = std::getenv("KVT_FAULTS_REPORT");
    g_reportPath = new std::string(report != nullptr ? report : "");
    g_plan = new Plan;
    if (std::strcmp(text, "count") != 0 && !parsePlan(text, g_plan)) {
      std::fprintf(stderr, "KVT_FAULTS: cannot read the plan '%s'\n", text);
    }
    // One failure per process: a later load of the plug-in only counts.
    if (alreadyFired()) *g_plan = Plan();
    g_sites = new std::map<std::pair<std::string, std::uintptr_t>, SiteRecord>;
  }
  t_inside = false;
  g_armed.store(true, std::memory_order_release);
}

void disarmAndReport() {
  if (!g_armed.exchange(false)) return;
  t_inside = true;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string lines;
    for (const auto& [key, site] : *g_sites) {
      lines += "site " + key.first + " " + hex(key.second) + " " + std::to_string(site.calls) +
               " " + site.kinds + "\n";
    }
    lines += "unloaded\n";
    append(lines);
    // A call already past the armed test finds no sites under the lock and runs.
    delete g_sites;
    g_sites = nullptr;
    delete g_plan;
    g_plan = nullptr;
    delete g_reportPath;
    g_reportPath = nullptr;
  }
  t_inside = false;
}

}  // namespace platform::faults
