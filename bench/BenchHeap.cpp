#include "BenchHeap.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Each block carries its size just before the caller's bytes; kHeader keeps
// the caller's block aligned as malloc's is.
constexpr std::size_t kHeader = 16;
std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};

void Count(std::size_t n) noexcept {
  const std::size_t now = g_live.fetch_add(n) + n;
  std::size_t seen = g_peak.load();
  while (now > seen && !g_peak.compare_exchange_weak(seen, now)) {
  }
}

void* Alloc(std::size_t n) noexcept {
  void* block = std::malloc(n + kHeader);
  if (block == nullptr) return nullptr;
  *static_cast<std::size_t*>(block) = n;
  Count(n);
  return static_cast<char*>(block) + kHeader;
}

void Free(void* p) noexcept {
  if (p == nullptr) return;
  char* block = static_cast<char*>(p) - kHeader;
  g_live.fetch_sub(*reinterpret_cast<std::size_t*>(block));
  std::free(block);
}

// Over-aligned blocks: the header takes a whole alignment unit (at least 32
// bytes, as only alignments above the default 16 come here).
void* AllocAligned(std::size_t n, std::align_val_t al) noexcept {
  const auto a = static_cast<std::size_t>(al);
  const std::size_t total = (n + a + a - 1) / a * a;
  void* block = std::aligned_alloc(a, total);
  if (block == nullptr) return nullptr;
  *static_cast<std::size_t*>(block) = n;
  Count(n);
  return static_cast<char*>(block) + a;
}

void FreeAligned(void* p, std::align_val_t al) noexcept {
  if (p == nullptr) return;
  char* block = static_cast<char*>(p) - static_cast<std::size_t>(al);
  g_live.fetch_sub(*reinterpret_cast<std::size_t*>(block));
  std::free(block);
}

void* OrThrow(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace kqbench {
namespace heap {
std::size_t Live() noexcept { return g_live.load(); }
std::size_t Start() noexcept {
  const std::size_t now = g_live.load();
  g_peak.store(now);
  return now;
}
std::size_t PeakSince(std::size_t base) noexcept {
  const std::size_t peak = g_peak.load();
  return peak > base ? peak - base : 0;
}
}  // namespace heap
}  // namespace kqbench

void* operator new(std::size_t n) { return OrThrow(Alloc(n)); }
void* operator new[](std::size_t n) { return OrThrow(Alloc(n)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Alloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Alloc(n); }
void* operator new(std::size_t n, std::align_val_t a) { return OrThrow(AllocAligned(n, a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return OrThrow(AllocAligned(n, a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return AllocAligned(n, a);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return AllocAligned(n, a);
}
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete(void* p, std::align_val_t a) noexcept { FreeAligned(p, a); }
void operator delete[](void* p, std::align_val_t a) noexcept { FreeAligned(p, a); }
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept { FreeAligned(p, a); }
void operator delete[](void* p, std::size_t, std::align_val_t a) noexcept { FreeAligned(p, a); }
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
  FreeAligned(p, a);
}
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
  FreeAligned(p, a);
}
