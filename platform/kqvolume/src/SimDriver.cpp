#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <system_error>

#include <pthread.h>

#include "KQVolumeSim.h"
#include "SimDriverAccess.h"
#include "SimStateFile.h"

namespace kqsim {

namespace {

constexpr size_t kOps = static_cast<size_t>(Op::Destroy) + 1;
constexpr size_t kTypes = 3;

size_t Index(Op op) { return static_cast<size_t>(op); }

struct Volume {
  VolumeConfig config;
  // The state, here or, with a state file, in the file.
  std::array<std::vector<unsigned char>, kTypes> maps;
  std::array<int32_t, kTypes> dirtyMarks{};
  std::array<int32_t, kTypes> clears{};
  std::unique_ptr<StateFile> file;
};

struct Span {
  unsigned char* data;
  size_t size;
  unsigned char* begin() const { return data; }
  unsigned char* end() const { return data + size; }
};

// One operation's view of a volume's state, wherever it lives; with a state
// file it holds the file's lock. The caller holds the driver's mutex.
class State {
 public:
  // The driver side throws std::system_error when the state file fails; the
  // library side checks the view instead.
  State(Volume& volume, bool orThrow) : v_(volume), locked_(!volume.file || volume.file->Lock()) {
    if (!locked_ && orThrow) Fail();
  }
  ~State() {
    if (v_.file && locked_) v_.file->Unlock();
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  explicit operator bool() const { return locked_; }

  Span Map(size_t t) const {
    if (v_.file) return {v_.file->Map(t), static_cast<size_t>(v_.file->Size(t))};
    return {v_.maps[t].data(), v_.maps[t].size()};
  }
  int32_t& DirtyMarks(size_t t) const {
    if (v_.file) return v_.file->DirtyMarks(t);
    return v_.dirtyMarks[t];
  }
  int32_t& Clears(size_t t) const {
    if (v_.file) return v_.file->Clears(t);
    return v_.clears[t];
  }
  void Replace(size_t t, std::vector<unsigned char> bytes) const {
    if (!v_.file) {
      v_.maps[t] = std::move(bytes);
    } else if (!v_.file->Replace(t, bytes)) {
      Fail();
    }
  }

 private:
  [[noreturn]] void Fail() const {
    throw std::system_error(errno, std::generic_category(),
                            "simulated driver state file " + v_.config.stateFile);
  }
  Volume& v_;
  bool locked_;
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

// The mutexes of the live drivers, under registryMutex. A fork waits until no
// other thread is inside a driver, so a child never inherits a mutex held by a
// thread it does not have (nor a held state file lock).
std::set<std::mutex*>& DriverMutexes() {
  static auto* mutexes = new std::set<std::mutex*>;
  return *mutexes;
}
void BeforeFork() {
  registryMutex.lock();
  // The driver's own mutex, held on purpose until AfterFork (not a local one).
  // cppcheck-suppress localMutex
  for (std::mutex* m : DriverMutexes()) m->lock();
}
void AfterFork() {
  for (std::mutex* m : DriverMutexes()) m->unlock();
  registryMutex.unlock();
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
void SetBits(Span map, uint64_t first, uint64_t last) {
  uint64_t nbits = static_cast<uint64_t>(map.size) * 8;
  if (first >= nbits) return;
  last = std::min(last, nbits - 1);
  while (first <= last && first % 8 != 0) {
    map.data[first / 8] |= static_cast<unsigned char>(1u << (first % 8));
    ++first;
  }
  if (first > last) return;
  // Whole bytes in the middle of a long write.
  uint64_t fullBytes = (last + 1 - first) / 8;
  std::memset(map.data + first / 8, 0xFF, static_cast<size_t>(fullBytes));
  for (first += fullBytes * 8; first <= last; ++first)
    map.data[first / 8] |= static_cast<unsigned char>(1u << (first % 8));
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
  // For the library side: runs fn(volume, state) under the locks; false when
  // the volume is not tracked or its state file cannot be locked or mapped.
  template <class Fn>
  bool Apply(const std::string& name, Fn&& fn) {
    std::lock_guard<std::mutex> lock(mutex);
    Volume* v = Lookup(name);
    if (!v) return false;
    State state(*v, false);
    if (!state) return false;
    std::forward<Fn>(fn)(*v, state);
    return true;
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
  DriverMutexes().erase(&impl_->mutex);
  auto& registry = Registry();
  auto it = registry.find(controlDevice_);
  // A new driver may already be registered for the path: leave that one.
  if (it != registry.end() && it->second.expired()) registry.erase(it);
}

std::shared_ptr<SimDriver> SimDriver::Install(const std::string& controlDevice) {
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers, [] { pthread_atfork(BeforeFork, AfterFork, AfterFork); });
  std::lock_guard<std::mutex> lock(registryMutex);
  auto& slot = Registry()[controlDevice];
  if (!slot.expired())
    throw std::logic_error("a simulated driver is already installed at " + controlDevice);
  std::shared_ptr<SimDriver> driver(new SimDriver());
  driver->controlDevice_ = controlDevice;
  DriverMutexes().insert(&driver->impl_->mutex);
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
  const std::array<uint64_t, kTypes> sizes = {DefaultSize(config.incrSize, config),
                                              DefaultSize(config.fullSize, config),
                                              DefaultSize(config.auxSize, config)};
  Volume volume;
  if (config.stateFile.empty()) {
    for (size_t t = 0; t < kTypes; ++t) volume.maps[t].resize(static_cast<size_t>(sizes[t]));
  } else {
    StateGeometry geometry;
    geometry.bytes = config.bytes;
    geometry.blockSize = config.blockSize;
    geometry.headers = config.bitmapHeader | static_cast<uint32_t>(config.dumpHeader) << 8;
    geometry.sizes = sizes;
    volume.file = StateFile::Open(config.stateFile, geometry);
    if (!volume.file) {
      throw std::system_error(errno, std::generic_category(),
                              "simulated driver state file " + config.stateFile);
    }
  }
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
  State state(v, true);
  for (size_t t = 0; t < kTypes; ++t) SetBits(state.Map(t), first, last);
}

std::vector<unsigned char> SimDriver::Bitmap(const std::string& volume, KQVBitmapType type) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  State state(impl_->Find(volume), true);
  Span map = state.Map(TypeIndex(type));
  return {map.begin(), map.end()};
}

void SimDriver::SetBitmap(const std::string& volume, KQVBitmapType type,
                          std::vector<unsigned char> bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  State(impl_->Find(volume), true).Replace(TypeIndex(type), std::move(bytes));
}

uint64_t SimDriver::SetBitCount(const std::string& volume, KQVBitmapType type) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  uint64_t count = 0;
  State state(impl_->Find(volume), true);
  for (unsigned char byte : state.Map(TypeIndex(type)))
    count += static_cast<uint64_t>(__builtin_popcount(byte));
  return count;
}

int SimDriver::DirtyMarks(const std::string& volume, KQVBitmapType type) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return State(impl_->Find(volume), true).DirtyMarks(TypeIndex(type));
}

int SimDriver::Clears(const std::string& volume, KQVBitmapType type) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return State(impl_->Find(volume), true).Clears(TypeIndex(type));
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
  return driver.impl_->Apply(volume, [&](const Volume& v, const State& state) {
    info->bitmapHeader = v.config.bitmapHeader;
    info->dumpHeader = v.config.dumpHeader;
    info->incrBitmapSize = state.Map(KQV_BITMAP_INCR).size;
    info->fullBitmapSize = state.Map(KQV_BITMAP_FULL).size;
    info->auxBitmapSize = state.Map(KQV_BITMAP_AUX).size;
  });
}

bool SimDriver::Access::Fetch(SimDriver& driver, const std::string& volume, int type,
                              unsigned char* buffer, unsigned long size, bool clear) {
  // Copy and clear in one critical section, so a concurrent write is either
  // in the copy or still set on the driver.
  return driver.impl_->Apply(volume, [&](const Volume&, const State& state) {
    Span map = state.Map(static_cast<size_t>(type));
    auto n = static_cast<size_t>(std::min<uint64_t>(size, map.size));
    if (n != 0) std::memcpy(buffer, map.data, n);
    if (size > n) std::memset(buffer + n, 0, size - n);
    if (clear) std::fill(map.begin(), map.end(), 0);
  });
}

bool SimDriver::Access::Clear(SimDriver& driver, const std::string& volume, int type) {
  return driver.impl_->Apply(volume, [&](const Volume&, const State& state) {
    auto t = static_cast<size_t>(type);
    Span map = state.Map(t);
    std::fill(map.begin(), map.end(), 0);
    ++state.Clears(t);
  });
}

bool SimDriver::Access::MarkDirty(SimDriver& driver, const std::string& volume, int type) {
  return driver.impl_->Apply(volume, [&](const Volume&, const State& state) {
    auto t = static_cast<size_t>(type);
    Span map = state.Map(t);
    std::fill(map.begin(), map.end(), 0xFF);
    ++state.DirtyMarks(t);
  });
}

bool SimDriver::Access::Merge(SimDriver& driver, const std::string& volume, int type,
                              const unsigned char* bitmap, unsigned long size) {
  return driver.impl_->Apply(volume, [&](const Volume&, const State& state) {
    Span map = state.Map(static_cast<size_t>(type));
    auto n = static_cast<size_t>(std::min<uint64_t>(size, map.size));
    for (size_t i = 0; i < n; ++i) map.data[i] |= bitmap[i];
  });
}

void SimDriver::Access::HandleOpened() { ++liveHandles; }
void SimDriver::Access::HandleClosed() { --liveHandles; }

}  // namespace kqsim
