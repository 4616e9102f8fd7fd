#include "lib/mapping_guard.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace quorvex {

namespace {

// A watched range; start == end when the slot is free. The handler reads the slots
// without a lock, so every field is atomic.
struct Slot {
  std::atomic<std::uintptr_t> start{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};

constexpr std::size_t kSlots = 4096;
std::array<Slot, kSlots> slots;
std::mutex slots_mutex;  // taken by watch/unwatch, never by the handler
struct sigaction previous_action {};

bool zero_page_at(std::uintptr_t address) {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  void* at = reinterpret_cast<void*>(address & ~(page - 1));
  return mmap(at, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED;
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : slots) {
    const std::uintptr_t start = slot.start.load(std::memory_order_acquire);
    if (start <= address && address < slot.end.load(std::memory_order_acquire) && zero_page_at(address)) {
      slot.faulted.store(true, std::memory_order_release);
      return;
    }
  }
  // Not a watched mapping: what would have happened without this handler.
  if ((previous_action.sa_flags & SA_SIGINFO) != 0 && previous_action.sa_sigaction != nullptr) {
    previous_action.sa_sigaction(signal, info, context);
  } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(signal);
  } else {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGBUS, &fallback, nullptr);  // the faulting instruction runs again and ends the process
  }
}

// Once: a handler installed later (Python's faulthandler, say) that chains to the one it
// replaced still ends in this one.
void install_handler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &previous_action);
}

}  // namespace

int watch_mapping(const void* start, std::size_t length) {
  std::lock_guard lock(slots_mutex);
  install_handler();
  const auto begin = reinterpret_cast<std::uintptr_t>(start);
  for (std::size_t i = 0; i < kSlots; ++i) {
    Slot& slot = slots[i];
    if (slot.start.load() != slot.end.load()) continue;
    slot.faulted.store(false);
    slot.end.store(0);  // empty while the range is set
    slot.start.store(begin);
    slot.end.store(begin + length);
    return static_cast<int>(i);
  }
  return -1;
}

bool mapping_faulted(int slot) {
  return slot >= 0 && static_cast<std::size_t>(slot) < kSlots && slots[slot].faulted.load();
}

bool unwatch_mapping(int slot) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= kSlots) return false;
  std::lock_guard lock(slots_mutex);
  Slot& s = slots[slot];
  s.end.store(0);
  s.start.store(0);
  return s.faulted.exchange(false);
}

}  // namespace quorvex
