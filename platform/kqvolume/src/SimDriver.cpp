#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <map>

#include "KQVolumeSim.h"
#include "SimDriverAccess.h"

namespace kqsim {

namespace {

constexpr size_t kOps = static_cast<size_t>(Op::Destroy) + 1;
constexpr size_t kTypes = 3;

size_t Index(Op op) { return static_cast<size_t>(op); }

struct Volume {
  VolumeConfig config;
  std::array<std::vector<unsigned char>, kTypes> maps;
  std::array<int, kTypes> dirtyMarks{};
  std::array<int, kTypes> clears{};
};

// Call numbers count from 1 per op over the driver's life; a window is [from, to).
struct FaultPlan {
  uint64_t calls = 0;
  uint64_t failFrom = 0, failTo = 0;
  uint64_t throwFrom = 0, throwTo = 0;
  bool always = false;
  int injected = 0;
};

std::mutex registryMutex;
// Never destroyed: a driver kept in a static may die after the exit-time destructors.
std::map<std::string, std::weak_ptr<SimDriver>>& Registry() {
  static auto* registry = new std::map<std::string, std::weak_ptr<SimDriver>>;
  return *registry;
}

std::atomic<int> liveHandles{0};

size_t TypeIndex(KQVBitmapType type) {
  auto t = static_cast<int>(type);
  if (t < 0 || t >= static_cast<int>(kTypes))
    throw std::out_of_range("bitmap type " + std::to_string(t) + " does not exist");
  return static_cast<size_t>(t);
}

uint64_t DefaultSize(uint64_t size, const VolumeConfig& config) {
  if (size != 0) return size;
  uint64_t perMapByte = uint64_t{config.blockSize} * 8;
  return config.bytes / perMapByte + (config.bytes % perMapByte != 0 ? 1 : 0);
}

// Sets bits first..last (inclusive) of `map`, dropping those past its end.
void SetBits(std::vector<unsigned char>& map, uint64_t first, uint64_t last) {
  uint64_t nbits = static_cast<uint64_t>(map.size()) * 8;
  if (first >= nbits) return;
  last = std::min(last, nbits - 1);
  while (first <= last && first % 8 != 0) {
    map[first / 8] |= static_cast<unsigned char>(1u << (first % 8));
    ++first;
  }
  if (first > last) return;
  // Whole bytes in the middle of a long write.
  uint64_t fullBytes = (last + 1 - first) / 8;
  std::memset(map.data() + first / 8, 0xFF, static_cast<size_t>(fullBytes));
  for (first += fullBytes * 8; first <= last; ++first)
    map[first / 8] |= static_cast<unsigned char>(1u << (first % 8));
}

}  // namespace

struct SimDriver::Impl {
  mutable std::mutex mutex;
  std::map<std::string, Volume> volumes;
  std::array<FaultPlan, kOps> faults;
  std::array<std::function<void()>, kOps> hooks;
  std::vector<Call> calls;

  Volume& Find(const std::string& name) {
    auto it = volumes.find(name);
    if (it == volumes.end()) throw std::out_of_range("no simulated volume " + name);
    return it->second;
  }
  const Volume& Find(const std::string& name) const { return const_cast<Impl*>(this)->Find(name); }
  Volume* Lookup(const std::string& name) {
    auto it = volumes.find(name);
    return it == volumes.end() ? nullptr : &it->second;
  }
};

const char* OpName(Op op) {
  switch (op) {
    case Op::Construct:
      return "KQVolumeUnix";
    case Op::IsValid:
      return "IsValid";
    case Op::SetClntDisplayName:
      return "setClntDisplayName";
    case Op::SetVolumeName:
      return "setVolumeName";
    case Op::GetVolInfo:
      return "GetVolInfo";
    case Op::GetBitmap:
      return "GetBitmap";
    case Op::GetAndClearBitmap:
      return "GetAndClearBitmap";
    case Op::MarkBitmapDirty:
      return "MarkBitmapDirty";
    case Op::ClearBitmap:
      return "ClearBitmap";
    case Op::MergeBitmap:
      return "MergeBitmap";
    case Op::GetVolName:
      return "getVolName";
    case Op::Destroy:
      return "~KQVolumeUnix";
  }
  return "?";
}

SimDriver::SimDriver() : impl_(std::make_unique<Impl>()) {}

SimDriver::~SimDriver() {
  std::lock_guard<std::mutex> lock(registryMutex);
  auto& registry = Registry();
  auto it = registry.find(controlDevice_);
  // A new driver may already be registered for the path: leave that one.
  if (it != registry.end() && it->second.expired()) registry.erase(it);
}

std::shared_ptr<SimDriver> SimDriver::Install(const std::string& controlDevice) {
  std::lock_guard<std::mutex> lock(registryMutex);
  auto& slot = Registry()[controlDevice];
  if (!slot.expired())
    throw std::logic_error("a simulated driver is already installed at " + controlDevice);
  std::shared_ptr<SimDriver> driver(new SimDriver());
  driver->controlDevice_ = controlDevice;
  slot = driver;
  return driver;
}

std::shared_ptr<SimDriver> SimDriver::Find(const std::string& controlDevice) {
  std::lock_guard<std::mutex> lock(registryMutex);
  auto& registry = Registry();
  auto it = registry.find(controlDevice);
  return it == registry.end() ? nullptr : it->second.lock();
}

void SimDriver::AddVolume(const std::string& name, VolumeConfig config) {
  if (config.blockSize == 0) throw std::invalid_argument("block size 0");
  Volume volume;
  volume.maps[KQV_BITMAP_INCR].resize(DefaultSize(config.incrSize, config));
  volume.maps[KQV_BITMAP_FULL].resize(DefaultSize(config.fullSize, config));
  volume.maps[KQV_BITMAP_AUX].resize(DefaultSize(config.auxSize, config));
  volume.config = std::move(config);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->volumes[name] = std::move(volume);
}

const VolumeConfig& SimDriver::Config(const std::string& name) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->Find(name).config;
}

void SimDriver::RecordWrite(const std::string& volume, uint64_t offset, uint64_t length) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Volume& v = impl_->Find(volume);
  if (length == 0) return;
  uint64_t lastByte = length - 1 > std::numeric_limits<uint64_t>::max() - offset
                          ? std::numeric_limits<uint64_t>::max()
                          : offset + length - 1;
  uint64_t first = offset / v.config.blockSize, last = lastByte / v.config.blockSize;
  for (auto& map : v.maps) SetBits(map, first, last);
}

std::vector<unsigned char> SimDriver::Bitmap(const std::string& volume, KQVBitmapType type) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->Find(volume).maps[TypeIndex(type)];
}

void SimDriver::SetBitmap(const std::string& volume, KQVBitmapType type,
                          std::vector<unsigned char> bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->Find(volume).maps[TypeIndex(type)] = std::move(bytes);
}

uint64_t SimDriver::SetBitCount(const std::string& volume, KQVBitmapType type) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  uint64_t count = 0;
  for (unsigned char byte : impl_->Find(volume).maps[TypeIndex(type)])
    count += static_cast<uint64_t>(__builtin_popcount(byte));
  return count;
}

int SimDriver::DirtyMarks(const std::string& volume, KQVBitmapType type) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->Find(volume).dirtyMarks[TypeIndex(type)];
}

int SimDriver::Clears(const std::string& volume, KQVBitmapType type) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->Find(volume).clears[TypeIndex(type)];
}

void SimDriver::FailAt(Op op, int nth, int count) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  FaultPlan& f = impl_->faults[Index(op)];
  f.failFrom = f.calls + static_cast<uint64_t>(std::max(nth, 1));
  f.failTo = f.failFrom + static_cast<uint64_t>(std::max(count, 0));
}

void SimDriver::ThrowAt(Op op, int nth, int count) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  FaultPlan& f = impl_->faults[Index(op)];
  f.throwFrom = f.calls + static_cast<uint64_t>(std::max(nth, 1));
  f.throwTo = f.throwFrom + static_cast<uint64_t>(std::max(count, 0));
}

void SimDriver::FailAlways(Op op, bool on) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults[Index(op)].always = on;
}

int SimDriver::Injected(Op op) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->faults[Index(op)].injected;
}

void SimDriver::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (FaultPlan& f : impl_->faults) {
    f.failFrom = f.failTo = f.throwFrom = f.throwTo = 0;
    f.always = false;
  }
}

void SimDriver::SetHook(Op op, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->hooks[Index(op)] = std::move(fn);
}

std::vector<Call> SimDriver::Calls() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->calls;
}

std::vector<Op> SimDriver::CallOps() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<Op> ops;
  ops.reserve(impl_->calls.size());
  for (const Call& c : impl_->calls) ops.push_back(c.op);
  return ops;
}

int SimDriver::CallCount(Op op) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return static_cast<int>(std::count_if(impl_->calls.begin(), impl_->calls.end(),
                                        [op](const Call& c) { return c.op == op; }));
}

void SimDriver::ClearCalls() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->calls.clear();
}

int SimDriver::LiveHandles() { return liveHandles.load(); }

// --- the library side ---

bool SimDriver::Access::Enter(SimDriver& driver, Call call, bool faultable) {
  Impl& impl = *driver.impl_;
  Op op = call.op;
  bool fail = false, raise = false;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.calls.push_back(std::move(call));
    if (faultable) {
      FaultPlan& f = impl.faults[Index(op)];
      uint64_t n = ++f.calls;
      raise = n >= f.throwFrom && n < f.throwTo;
      fail = !raise && (f.always || (n >= f.failFrom && n < f.failTo));
      if (raise || fail) ++f.injected;
    }
  }
  if (raise) throw InjectedFault(std::string("injected exception in ") + OpName(op));
  return !fail;
}

void SimDriver::Access::Leave(SimDriver& driver, Op op) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(driver.impl_->mutex);
    hook = driver.impl_->hooks[Index(op)];
  }
  if (hook) hook();
}

bool SimDriver::Access::Knows(const SimDriver& driver, const std::string& volume) {
  std::lock_guard<std::mutex> lock(driver.impl_->mutex);
  return driver.impl_->volumes.count(volume) != 0;
}

std::string SimDriver::Access::PathOf(const SimDriver& driver, const std::string& volume) {
  std::lock_guard<std::mutex> lock(driver.impl_->mutex);
  const Volume* v = driver.impl_->Lookup(volume);
  if (!v) return "";
  return v->config.path.empty() ? volume : v->config.path;
}

bool SimDriver::Access::Info(const SimDriver& driver, const std::string& volume,
                             KQVolumeInfo* info) {
  std::lock_guard<std::mutex> lock(driver.impl_->mutex);
  const Volume* v = driver.impl_->Lookup(volume);
  if (!v) return false;
  info->bitmapHeader = v->config.bitmapHeader;
  info->dumpHeader = v->config.dumpHeader;
  info->incrBitmapSize = v->maps[KQV_BITMAP_INCR].size();
  info->fullBitmapSize = v->maps[KQV_BITMAP_FULL].size();
  info->auxBitmapSize = v->maps[KQV_BITMAP_AUX].size();
  return true;
}

bool SimDriver::Access::Fetch(SimDriver& driver, const std::string& volume, int type,
                              unsigned char* buffer, unsigned long size, bool clear) {
  // Copy and clear in one critical section, so a concurrent write is either
  // in the copy or still set on the driver.
  std::lock_guard<std::mutex> lock(driver.impl_->mutex);
  Volume* v = driver.impl_->Lookup(volume);
  if (!v) return false;
  auto& map = v->maps[static_cast<size_t>(type)];
  size_t n = static_cast<size_t>(std::min<uint64_t>(size, map.size()));
  if (n != 0) std::memcpy(buffer, map.data(), n);
  if (size > n) std::memset(buffer + n, 0, size - n);
  if (clear) std::fill(map.begin(), map.end(), 0);
  return true;
}

bool SimDriver::Access::Clear(SimDriver& driver, const std::string& volume, int type) {
  std::lock_guard<std::mutex> lock(driver.impl_->mutex);
  Volume* v = driver.impl_->Lookup(volume);
  if (!v) return false;
  auto t = static_cast<size_t>(type);
  std::fill(v->maps[t].begin(), v->maps[t].end(), 0);
  ++v->clears[t];
  return true;
}

bool SimDriver::Access::MarkDirty(SimDriver& driver, const std::string& volume, int type) {
  std::lock_guard<std::mutex> lock(driver.impl_->mutex);
  Volume* v = driver.impl_->Lookup(volume);
  if (!v) return false;
  auto t = static_cast<size_t>(type);
  std::fill(v->maps[t].begin(), v->maps[t].end(), 0xFF);
  ++v->dirtyMarks[t];
  return true;
}

bool SimDriver::Access::Merge(SimDriver& driver, const std::string& volume, int type,
                              const unsigned char* bitmap, unsigned long size) {
  std::lock_guard<std::mutex> lock(driver.impl_->mutex);
  Volume* v = driver.impl_->Lookup(volume);
  if (!v) return false;
  auto& map = v->maps[static_cast<size_t>(type)];
  size_t n = static_cast<size_t>(std::min<uint64_t>(size, map.size()));
  for (size_t i = 0; i < n; ++i) map[i] |= bitmap[i];
  return true;
}

void SimDriver::Access::HandleOpened() { ++liveHandles; }
void SimDriver::Access::HandleClosed() { --liveHandles; }

}  // namespace kqsim
