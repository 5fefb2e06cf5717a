// The fault plan, the call counts of each site and the report.
#include "platform/faults/Injector.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "platform/thread.h"

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
// Held while the injector itself runs. The thread that holds it is noted, so that the allocations
// the injector makes meanwhile are never counted, and never wait for the lock their thread holds.
// A thread's own flag would do as well, but the plug-in keeps no thread-local variables on
// Windows (their debug records do not link there).
platform::Lock g_lock;
std::atomic<std::uint64_t> g_insideThread{0};
Plan* g_plan KVT_GUARDED_BY(g_lock) = nullptr;
std::map<std::pair<std::string, std::uintptr_t>, SiteRecord>* g_sites KVT_GUARDED_BY(g_lock) =
    nullptr;
std::string* g_reportPath KVT_GUARDED_BY(g_lock) = nullptr;
std::uintptr_t g_moduleBase KVT_GUARDED_BY(g_lock) = 0;

// g_lock taken by the calling thread, which the injector's own allocations then pass.
class KVT_SCOPED_CAPABILITY Inside {
 public:
  Inside() KVT_ACQUIRE(g_lock) {
    g_lock.lock();
    g_insideThread.store(platform::threadCurrentId(), std::memory_order_relaxed);
  }
  ~Inside() KVT_RELEASE(g_lock) {
    g_insideThread.store(0, std::memory_order_relaxed);
    g_lock.unlock();
  }
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;
  // Whether the calling thread is inside the injector.
  static bool Here() {
    return g_insideThread.load(std::memory_order_relaxed) == platform::threadCurrentId();
  }
};

// The base address of the module that holds the injector: the plug-in.
std::uintptr_t ModuleBase() {
#if defined(_WIN32)
  HMODULE module = nullptr;
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&ModuleBase), &module) == 0) {
    return 0;
  }
  return reinterpret_cast<std::uintptr_t>(module);
#else
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&ModuleBase), &info) == 0) return 0;
  return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
#endif
}

void append(const std::string& line) KVT_REQUIRES(g_lock) {
  if (g_reportPath == nullptr || g_reportPath->empty()) return;
  // Binary: the report's lines end in a plain line feed on Windows too, as the script reads them.
  if (std::FILE* file = std::fopen(g_reportPath->c_str(), "ab")) {
    std::fputs(line.c_str(), file);
    std::fclose(file);
  }
}

bool alreadyFired() KVT_REQUIRES(g_lock) {
  std::FILE* file = std::fopen(g_reportPath->c_str(), "rb");
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
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

int decide(const char* function, const void* returnAddress,
           std::initializer_list<const char*> kinds) {
  if (!g_armed.load(std::memory_order_acquire) || Inside::Here()) return 0;
  int fire = 0;
  {
    Inside inside;
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
  return fire;
}

void armFromEnvironment() {
  const char* text = std::getenv("KVT_FAULTS");
  if (text == nullptr || *text == '\0') return;
  {
    Inside inside;
    g_moduleBase = ModuleBase();
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
  g_armed.store(true, std::memory_order_release);
}

void disarmAndReport() {
  if (!g_armed.exchange(false)) return;
  {
    Inside inside;
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
}

}  // namespace platform::faults
