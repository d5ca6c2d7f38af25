#pragma once
// The crash-simulation file system: a FUSE layer that serves one flat directory from a backing
// directory and records what a power cut may keep of it, so that any crash state can be built.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct fuse;

namespace powercut {

// A directory as a power cut leaves it: entry name to file content.
using DirectoryImage = std::map<std::string, std::string>;

// The kernel refused the mount (no /dev/fuse, no permission).
class MountRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The gate and the cut of a machine whose file systems share one power supply: operations are
// counted across all of them, and the cut stops them all at once. A process that waits in a held
// operation of one layer holds no other layer's loop.
class PowerSwitch {
 public:
  // From now on the next operation that changes something waits, not yet performed, until
  // openGate().
  void closeGate();
  bool gateHeld() const;
  // Lets the waiting operation go on. Operations are counted from it on (it is number 1); number
  // `cutAt` (0: none) is held, not performed, until endCut().
  void openGate(std::uint64_t cutAt);
  bool cutHeld() const;
  // Disarms the cut; a held operation then fails with EIO, still not performed.
  void endCut();
  // Counts an operation that changes something; false when it must not be performed: it is the
  // cut, or the layers go away.
  bool admit();
  void stop();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool gateClosed_ = false;
  bool gateHeld_ = false;
  std::uint64_t operations_ = 0;
  std::uint64_t cutAt_ = 0;
  bool cutHeld_ = false;
  bool stopping_ = false;
};

// How a layer is served.
struct LayerOptions {
  // Shared with the other layers of the machine; a layer of its own when empty.
  std::shared_ptr<PowerSwitch> power;
  // Files go through the kernel's page cache, so that they can be mapped shared (SQLite's WAL
  // index); the page cache is dropped at every open. Without it every read and write goes
  // straight to the layer.
  bool sharedMappings = false;
};

// Mounted over `mountPoint` for its lifetime (a thread of its own serves it), it passes every
// operation through to the backing directory and keeps the record that crashImage() needs: the
// durable state and the directory operations since the last directory sync. An operation of the
// file system's user can be held (the gate, the cut) while the harness acts on the process.
// Files are never synced to the backing directory: the record is the durability.
class CrashSimulationFs {
 public:
  struct Counts {
    std::uint64_t fileSyncs = 0;
    std::uint64_t directorySyncs = 0;
    // Injected faults.
    std::uint64_t failedSyncs = 0;
    std::uint64_t failedRenames = 0;
    std::uint64_t failedUnlinks = 0;
  };

  // The operations that can be made to fail with EIO; a failed one does nothing.
  enum class Operation { FileSync, DirectorySync, Rename, Unlink };

  // Faults drawn at random (from the seed), and a slow device.
  struct Faults {
    double syncRate = 0;  // of fsync and directory fsync
    double renameRate = 0;
    double unlinkRate = 0;
    std::chrono::milliseconds syncDelay{0};  // every fsync and directory fsync takes this long
  };

  // Serves `backingDir`, whose content counts as durable; faults are drawn from `faultSeed`.
  // Throws MountRefused when the kernel refuses the mount, std::runtime_error otherwise.
  CrashSimulationFs(const std::string& mountPoint, const std::string& backingDir,
                    std::uint64_t faultSeed, LayerOptions options = {});

  void setFaults(const Faults& faults);
  // Operation `operation` fails the next time but `skip`, whatever the rates say.
  void failNext(Operation operation, std::size_t skip = 0);
  ~CrashSimulationFs();

  CrashSimulationFs(const CrashSimulationFs&) = delete;
  CrashSimulationFs& operator=(const CrashSimulationFs&) = delete;

  // The power switch's gate and cut (see PowerSwitch). Before endCut(), kill the process that
  // waits in the held operation, so that it does nothing more.
  void closeGate() { power_->closeGate(); }
  bool gateHeld() const { return power_->gateHeld(); }
  void openGate(std::uint64_t cutAt) { power_->openGate(cutAt); }
  bool cutHeld() const { return power_->cutHeld(); }
  void endCut() { power_->endCut(); }
  const std::shared_ptr<PowerSwitch>& power() const { return power_; }

  // Directory operations (create, link, rename, unlink) since the last directory sync.
  std::size_t unsyncedOperations() const;
  // The directory that a power cut now leaves when the first `prefix` unsynced directory
  // operations reached the disk: each file with its content as of its last fsync.
  DirectoryImage crashImage(std::size_t prefix) const;
  // Serves `backingDir` from now on, its content durable, as after a restart. Only while no
  // process has a file of this file system open.
  void switchBacking(const std::string& backingDir);

  Counts counts() const;

 private:
  struct DirectoryOperation {
    enum class Kind { Link, Unlink, Rename } kind;
    std::string name;
    std::string newName;  // Rename
    std::uint64_t inode;  // Link
  };
  using Entries = std::map<std::string, std::uint64_t>;  // name to inode
  struct Operations;
  friend struct Operations;

  static void apply(const DirectoryOperation& operation, Entries& entries);
  void load(const std::string& backingDir);
  bool admit();
  // Whether this `operation` fails; counts it. Called with the mutex held.
  bool fails(Operation operation);
  std::chrono::milliseconds syncDelay() const;
  void record(DirectoryOperation operation);
  std::uint64_t newInode();
  std::string contentOf(int fd) const;

  mutable std::mutex mutex_;
  std::shared_ptr<PowerSwitch> power_;
  bool sharedMappings_;
  int backing_ = -1;
  Entries live_;
  Entries durable_;  // as of the last directory sync
  std::vector<DirectoryOperation> journal_;  // since then, in order
  std::unordered_map<std::uint64_t, std::string> synced_;  // inode to data as of its last fsync
  std::unordered_map<int, std::uint64_t> openFiles_;  // backing descriptor to inode
  std::uint64_t nextInode_ = 1;

  std::mt19937_64 random_;
  Faults faults_;
  std::map<Operation, std::uint64_t> performed_;      // of each kind, so far
  std::map<Operation, std::vector<std::uint64_t>> scheduled_;  // numbers that fail
  Counts counts_;

  struct fuse* fuse_ = nullptr;
  std::thread loop_;
};

}  // namespace powercut
