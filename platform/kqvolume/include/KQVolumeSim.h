// The simulated block-filter driver behind the volume library stand-in, for
// tests, the demo and a job's own integration tests.
//
//   auto driver = kqsim::SimDriver::Install();       // registers at /dev/zrbf/ctrl
//   kqsim::VolumeConfig cfg;
//   cfg.bytes = 1ull << 30;
//   driver->AddVolume("/dev/sda1", cfg);
//   driver->RecordWrite("/dev/sda1", 8192, 4096);    // sets bit 2 of every bitmap
//   driver->FailAt(kqsim::Op::GetAndClearBitmap);    // the next such call fails
//
// Bitmaps: one bit per block of `blockSize` bytes; bit n is in byte n / 8 with
// mask 1 << (n % 8) (least significant bit first). A write sets the bits of
// every block it touches in all three bitmaps of the volume. All methods are
// thread-safe; a fetch-and-clear is atomic with respect to RecordWrite.
//
// The library side (KQVolumeUnix, getVolName) reports failures through its
// results and GetErrorString. The driver side below is for tests and the demo:
// naming a volume it does not track throws std::out_of_range.
//
// What the handle does, beyond the interface:
// - A handle holds its driver: the driver stays installed while one is open.
// - A handle made with no driver installed records nothing and fails every call.
// - setVolumeName keeps the name unless its call is failed by injection; it
//   returns 0 when the driver does not track the volume, and every later
//   operation fails until it does (a volume may be added afterwards).
// - GetBitmap / GetAndClearBitmap copy min(size, bitmap size) bytes and zero
//   the rest of the caller's `size` bytes; MergeBitmap ORs min(size, bitmap
//   size) bytes. The bool of the fetches and MarkBitmapDirty's int are ignored.
// - An injected IsValid failure is decided when IsValid is called and leaves
//   the handle not valid for good: every later operation fails.
// - Every call through a handle is recorded first (before faults); a call that
//   returns, successfully or not, runs its hook; a call that throws does not.
//
// A volume's state may outlive the process, as a kernel driver's does
// (VolumeConfig::stateFile, opt-in): its bitmaps, DirtyMarks and Clears then
// live in a MAP_SHARED mapping of that file (a small header, then the three
// bitmaps), so every change is in the file the moment it is made and survives
// a SIGKILL of the process that made it (page cache, no fsync).
// - Several processes may add the volume with the same state file at once (a
//   parent and its forked child, or unrelated processes). Each operation on the
//   state, reads included, holds a flock on the file for its whole step, so a
//   fetch-and-clear in one process is atomic against RecordWrite in another.
//   Each process locks through a descriptor it opened itself (a forked child
//   reopens the file on its first operation: a lock taken through an inherited
//   descriptor would not exclude the parent). The kernel drops the lock of a
//   killed process, so no kill blocks the others.
// - All processes on one file should add the volume with the same
//   configuration: one with another geometry starts the file afresh, and the
//   others then follow the sizes the file records.
// - SetBitmap with a new size resizes the file; every process sees the new
//   sizes from its next operation. A process killed inside SetBitmap may leave
//   the bitmaps mixed up (never a file too short for its header).
// - Remove the file only while no process uses it: a process keeps the file it
//   opened. Fault injection, call records and hooks stay per process.
// - A process may fork while other threads use a driver (the fork waits until
//   none is inside one). The child has the parent's driver: volumes with a
//   state file shared with the parent, the others as private copies.
// - A state file that cannot be opened, locked, sized or mapped makes the
//   driver side throw std::system_error and the handle's call fail.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "KQVolume.h"

namespace kqsim {

// The volume library calls that can be recorded, failed, made to throw or hooked.
enum class Op {
  Construct,  // KQVolumeUnix constructor: throw, or fail (the handle comes out not valid)
  IsValid,    // fail: the handle comes out not valid
  SetClntDisplayName,
  SetVolumeName,
  GetVolInfo,
  GetBitmap,
  GetAndClearBitmap,
  MarkBitmapDirty,
  ClearBitmap,
  MergeBitmap,
  GetVolName,  // fail: getVolName returns ""
  Destroy,     // KQVolumeUnix destructor (record and hook only)
};
const char* OpName(Op op);

struct VolumeConfig {
  uint64_t bytes = 64ull << 20;  // volume size
  uint32_t blockSize = 4096;     // bytes per bit
  // Bitmap sizes in bytes; 0 means ceil(bytes / blockSize / 8).
  uint64_t incrSize = 0;
  uint64_t fullSize = 0;
  uint64_t auxSize = 0;
  unsigned char bitmapHeader = 0x5A;  // KQVolumeInfo byte 24
  unsigned char dumpHeader = 0xA5;    // KQVolumeInfo byte 40
  std::string path;                   // what getVolName returns; empty means the volume name
  // Opt-in: keep this volume's bitmaps, dirty marks and clear counts in this
  // file, where other processes (and the next one) find them.
  std::string stateFile;
};

struct Call {
  Op op;
  std::string volume;  // the handle's volume name (empty before setVolumeName)
  int type = -1;       // bitmap type, where the call takes one
  unsigned long size = 0;
  bool flag = false;
  std::string text;  // display name, volume name, getVolName argument or control device
};
// For MarkBitmapDirty, `size` holds its int argument.

class InjectedFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SimDriver : public std::enable_shared_from_this<SimDriver> {
 public:
  // Registers the driver for `controlDevice`; the destructor unregisters it.
  // At most one live driver per control device path: std::logic_error otherwise.
  static std::shared_ptr<SimDriver> Install(const std::string& controlDevice = "/dev/zrbf/ctrl");
  static std::shared_ptr<SimDriver> Find(const std::string& controlDevice);
  ~SimDriver();

  // Adding a volume again starts it afresh (clean bitmaps, zero counts);
  // without a state file, so does adding it the first time. With one, a file
  // that records the same geometry (bytes, blockSize, the three bitmap sizes
  // as configured, the header bytes) is adopted: its bitmaps, DirtyMarks and
  // Clears carry on, a size a SetBitmap gave a bitmap included. Otherwise the
  // file is created or resized and starts afresh. For a fresh start in any
  // case, remove the file first.
  void AddVolume(const std::string& name, VolumeConfig config = {});
  const VolumeConfig& Config(const std::string& name) const;

  // Records a write of `length` bytes at `offset`: sets the bits of every
  // block touched, in all three bitmaps. Bits beyond a bitmap's size are dropped.
  void RecordWrite(const std::string& volume, uint64_t offset, uint64_t length);
  std::vector<unsigned char> Bitmap(const std::string& volume, KQVBitmapType type) const;
  // Replaces the bitmap, size included: GetVolInfo reports the new size.
  void SetBitmap(const std::string& volume, KQVBitmapType type, std::vector<unsigned char> bytes);
  uint64_t SetBitCount(const std::string& volume, KQVBitmapType type) const;
  // Successful MarkBitmapDirty / ClearBitmap calls on the bitmap (a
  // fetch-and-clear is not counted here: see CallCount).
  int DirtyMarks(const std::string& volume, KQVBitmapType type) const;
  int Clears(const std::string& volume, KQVBitmapType type) const;

  // Fault injection: the nth call of `op` from now (1 = the next) fails, or
  // throws kqsim::InjectedFault; `count` consecutive calls from there on.
  // Calls through every handle of this driver count. A later FailAt (ThrowAt)
  // of the same op replaces the earlier one; a throw wins over a failure.
  // Destroy takes no faults.
  void FailAt(Op op, int nth = 1, int count = 1);
  void ThrowAt(Op op, int nth = 1, int count = 1);
  // Every call of `op` fails until cleared.
  void FailAlways(Op op, bool on = true);
  // How many faults were injected into `op` so far.
  int Injected(Op op) const;
  // Cancels every scheduled fault; Injected keeps counting.
  void ClearFaults();

  // Runs `fn` inside every call of `op`, after the call has done its work on
  // the driver and before it returns to the caller (so a RecordWrite from the
  // hook of GetBitmap lands between a fetch and a later clear). `fn` may call
  // any method of the driver (it runs outside the driver's lock). A hook of
  // Destroy must not throw. Pass nullptr to remove.
  void SetHook(Op op, std::function<void()> fn);

  std::vector<Call> Calls() const;
  std::vector<Op> CallOps() const;
  int CallCount(Op op) const;
  void ClearCalls();

  // KQVolumeUnix handles alive right now (all drivers).
  static int LiveHandles();

  // Used by the stand-in's KQVolumeUnix.
  struct Access;

 private:
  SimDriver();
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string controlDevice_;
};

}  // namespace kqsim
