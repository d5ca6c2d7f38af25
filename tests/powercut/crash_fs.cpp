// The power cut this layer simulates, and why it is one that ext4 with its default options
// (data=ordered, delayed allocation, a journal commit every 5 s, no fast commit) may produce:
//
// Kept:
//  - a file's data as of its last successful fsync() or fdatasync() through the layer;
//  - the directory's entries (create, link, rename, unlink) as of its last successful directory
//    fsync(), which commits the journal transaction that holds them;
//  - of the directory operations after that sync, any prefix, in order: ext4 journals them in
//    transactions that commit in order, all or nothing, so a cut keeps the operations up to some
//    point and none after it (a rename is never half done).
// Lost:
//  - data that no fsync of its file covered: a file whose entry survives but whose data was never
//    synced is empty (with delayed allocation its blocks and size reach the disk only with the
//    writeback, which need not have happened; ext4's zero-length files after a crash);
//  - the directory operations after the chosen prefix.
// Pessimistic but legitimate: ext4 often keeps more (the periodic commit; an fsync of one file
// commits the whole journal; auto_da_alloc starts writing a file's data when it is renamed over
// another), and every state built here is one that it may leave.
// syncfs() and sync() make nothing durable: the kernel does not pass them to a FUSE server, so a
// program that relies on them is caught.
// Not modelled: a file partly written back (it comes back with its synced data whole, which
// changes nothing for files written once and synced before they are renamed into place); modes
// and times (a file comes back with the default mode); hard links (each name comes back as a
// copy of the data).
//
// Faults: a sync, a rename or an unlink may fail with EIO (at random, with rates and a seed
// given by the harness, or at a point it names); a failed one does nothing, as a failed
// writeback promises nothing and a file system that turned read-only changes nothing. Syncs
// may be slowed down, as on an SD card.
//
// Only a flat directory of regular files is served: mkdir, symlink and mknod end with ENOSYS.
// Operations run one at a time (a single-threaded FUSE loop), in the order the kernel sends them.

#define FUSE_USE_VERSION 35

#include "crash_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

namespace powercut {
namespace {

CrashSimulationFs& layer() {
  return *static_cast<CrashSimulationFs*>(fuse_get_context()->private_data);
}

// The entry that a path of the served directory names: "" for the directory itself, nothing for
// a path below an entry.
std::optional<std::string> entryOf(const char* path) {
  const std::string name = path[0] == '/' ? path + 1 : path;
  if (name.find('/') != std::string::npos) {
    return std::nullopt;
  }
  return name;
}

int failure() { return -errno; }

// A callback that answers EIO where an exception would leave it (none may cross into libfuse).
template <auto Callback>
struct Guarded;

template <typename... Args, int (*Callback)(Args...)>
struct Guarded<Callback> {
  static int call(Args... args) noexcept {
    try {
      return Callback(args...);
    } catch (...) {
      return -EIO;
    }
  }
};

}  // namespace

// The FUSE callbacks: each passes its operation through to the backing directory and records
// what it changed. Operations that change something are admitted first (gate, cut).
struct CrashSimulationFs::Operations {
  static void* init(fuse_conn_info*, fuse_config* config) {
    // Every lookup and read goes to the layer: the backing directory changes under the kernel
    // at each restart, and no cache may answer for it.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->direct_io = layer().sharedMappings_ ? 0 : 1;
    config->hard_remove = 1;  // an unlinked open file leaves no .fuse_hidden entry behind
    return &layer();
  }

  static int getattr(const char* path, struct stat* status, fuse_file_info* file) {
    auto& fs = layer();
    const auto name = entryOf(path);
    if (!name) {
      return -ENOENT;
    }
    std::lock_guard<std::mutex> lock(fs.mutex_);
    const int rc = file != nullptr ? ::fstat(static_cast<int>(file->fh), status)
                   : name->empty() ? ::fstat(fs.backing_, status)
                                   : ::fstatat(fs.backing_, name->c_str(), status,
                                               AT_SYMLINK_NOFOLLOW);
    return rc == 0 ? 0 : failure();
  }

  static int access(const char* path, int mode) {
    auto& fs = layer();
    const auto name = entryOf(path);
    if (!name) {
      return -ENOENT;
    }
    std::lock_guard<std::mutex> lock(fs.mutex_);
    return ::faccessat(fs.backing_, name->empty() ? "." : name->c_str(), mode, 0) == 0
               ? 0
               : failure();
  }

  static int readdir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                     fuse_readdir_flags) {
    auto& fs = layer();
    std::lock_guard<std::mutex> lock(fs.mutex_);
    const int fd = ::openat(fs.backing_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(fd < 0 ? nullptr : ::fdopendir(fd), ::closedir);
    if (!dir) {
      const int error = errno;
      if (fd >= 0) {
        ::close(fd);
      }
      return -error;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
      struct stat status {};
      status.st_ino = entry->d_ino;
      status.st_mode = DTTOIF(entry->d_type);
      fill(buffer, entry->d_name, &status, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
  }

  static int fsyncdir(const char*, int, fuse_file_info*) {
    auto& fs = layer();
    if (!fs.admit()) {
      return -EIO;
    }
    std::this_thread::sleep_for(fs.syncDelay());
    std::lock_guard<std::mutex> lock(fs.mutex_);
    if (fs.fails(Operation::DirectorySync)) {
      return -EIO;
    }
    ++fs.counts_.directorySyncs;
    fs.durable_ = fs.live_;
    fs.journal_.clear();
    return 0;
  }

  static int create(const char* path, mode_t mode, fuse_file_info* file) {
    auto& fs = layer();
    const auto name = entryOf(path);
    if (!name || name->empty()) {
      return -ENOENT;
    }
    if (!fs.admit()) {
      return -EIO;
    }
    std::lock_guard<std::mutex> lock(fs.mutex_);
    const bool existed = fs.live_.count(*name) > 0;
    const int fd = ::openat(fs.backing_, name->c_str(), file->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) {
      return failure();
    }
    if (!existed) {
      fs.record({DirectoryOperation::Kind::Link, *name, {}, fs.newInode()});
    }
    fs.openFiles_[fd] = fs.live_.at(*name);
    file->fh = static_cast<std::uint64_t>(fd);
    return 0;
  }

  static int open(const char* path, fuse_file_info* file) {
    auto& fs = layer();
    const auto name = entryOf(path);
    if (!name || name->empty()) {
      return -ENOENT;
    }
    if ((file->flags & O_TRUNC) != 0 && !fs.admit()) {
      return -EIO;
    }
    std::lock_guard<std::mutex> lock(fs.mutex_);
    const int fd = ::openat(fs.backing_, name->c_str(), (file->flags & ~O_CREAT) | O_CLOEXEC);
    if (fd < 0) {
      return failure();
    }
    const auto found = fs.live_.find(*name);
    fs.openFiles_[fd] = found != fs.live_.end() ? found->second : fs.newInode();
    file->fh = static_cast<std::uint64_t>(fd);
    return 0;
  }

  static int read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* file) {
    const ssize_t got = ::pread(static_cast<int>(file->fh), buffer, size, offset);
    return got >= 0 ? static_cast<int>(got) : failure();
  }

  static int write(const char*, const char* data, size_t size, off_t offset,
                   fuse_file_info* file) {
    // The kernel writes a shared mapping back when it likes, not in the program's order, and
    // no fsync covers it: such writes are neither counted nor held.
    if (!file->writepage && !layer().admit()) {
      return -EIO;
    }
    const ssize_t written = ::pwrite(static_cast<int>(file->fh), data, size, offset);
    return written >= 0 ? static_cast<int>(written) : failure();
  }

  static int truncate(const char* path, off_t size, fuse_file_info* file) {
    auto& fs = layer();
    const auto name = entryOf(path);
    if (!fs.admit()) {
      return -EIO;
    }
    if (file != nullptr) {
      return ::ftruncate(static_cast<int>(file->fh), size) == 0 ? 0 : failure();
    }
    std::lock_guard<std::mutex> lock(fs.mutex_);
    const int fd = name ? ::openat(fs.backing_, name->c_str(), O_WRONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
      return name ? failure() : -ENOENT;
    }
    const int rc = ::ftruncate(fd, size) == 0 ? 0 : failure();
    ::close(fd);
    return rc;
  }

  static int chmod(const char* path, mode_t mode, fuse_file_info* file) {
    auto& fs = layer();
    const auto name = entryOf(path);
    if (!fs.admit()) {
      return -EIO;
    }
    std::lock_guard<std::mutex> lock(fs.mutex_);
    const int rc = file != nullptr ? ::fchmod(static_cast<int>(file->fh), mode)
                   : name          ? ::fchmodat(fs.backing_, name->c_str(), mode, 0)
                                   : (errno = ENOENT, -1);
    return rc == 0 ? 0 : failure();
  }

  static int utimens(const char* path, const timespec times[2], fuse_file_info* file) {
    auto& fs = layer();
    const auto name = entryOf(path);
    if (!fs.admit()) {
      return -EIO;
    }
    std::lock_guard<std::mutex> lock(fs.mutex_);
    const int rc = file != nullptr ? ::futimens(static_cast<int>(file->fh), times)
                   : name ? ::utimensat(fs.backing_, name->empty() ? "." : name->c_str(), times,
                                        AT_SYMLINK_NOFOLLOW)
                          : (errno = ENOENT, -1);
    return rc == 0 ? 0 : failure();
  }

  static int fsync(const char*, int, fuse_file_info* file) {
    auto& fs = layer();
    if (!fs.admit()) {
      return -EIO;
    }
    std::this_thread::sleep_for(fs.syncDelay());
    std::lock_guard<std::mutex> lock(fs.mutex_);
    if (fs.fails(Operation::FileSync)) {
      return -EIO;
    }
    const int fd = static_cast<int>(file->fh);
    ++fs.counts_.fileSyncs;
    fs.synced_[fs.openFiles_.at(fd)] = fs.contentOf(fd);
    return 0;
  }

  static int flush(const char*, fuse_file_info*) { return 0; }

  static int release(const char*, fuse_file_info* file) {
    auto& fs = layer();
    std::lock_guard<std::mutex> lock(fs.mutex_);
    const int fd = static_cast<int>(file->fh);
    fs.openFiles_.erase(fd);
    ::close(fd);
    return 0;
  }

  static int unlink(const char* path) {
    auto& fs = layer();
    const auto name = entryOf(path);
    if (!name || name->empty()) {
      return -ENOENT;
    }
    if (!fs.admit()) {
      return -EIO;
    }
    std::lock_guard<std::mutex> lock(fs.mutex_);
    if (fs.fails(Operation::Unlink)) {
      return -EIO;
    }
    if (::unlinkat(fs.backing_, name->c_str(), 0) != 0) {
      return failure();
    }
    fs.record({DirectoryOperation::Kind::Unlink, *name, {}, 0});
    return 0;
  }

  static int rename(const char* from, const char* to, unsigned int flags) {
    auto& fs = layer();
    const auto oldName = entryOf(from);
    const auto newName = entryOf(to);
    if (!oldName || !newName || oldName->empty() || newName->empty()) {
      return -ENOENT;
    }
    if ((flags & ~RENAME_NOREPLACE) != 0) {
      return -EINVAL;
    }
    if (!fs.admit()) {
      return -EIO;
    }
    std::lock_guard<std::mutex> lock(fs.mutex_);
    if (fs.fails(Operation::Rename)) {
      return -EIO;
    }
    if (::renameat2(fs.backing_, oldName->c_str(), fs.backing_, newName->c_str(), flags) != 0) {
      return failure();
    }
    fs.record({DirectoryOperation::Kind::Rename, *oldName, *newName, 0});
    return 0;
  }

  static int link(const char* from, const char* to) {
    auto& fs = layer();
    const auto oldName = entryOf(from);
    const auto newName = entryOf(to);
    if (!oldName || !newName || oldName->empty() || newName->empty()) {
      return -ENOENT;
    }
    if (!fs.admit()) {
      return -EIO;
    }
    std::lock_guard<std::mutex> lock(fs.mutex_);
    if (::linkat(fs.backing_, oldName->c_str(), fs.backing_, newName->c_str(), 0) != 0) {
      return failure();
    }
    fs.record({DirectoryOperation::Kind::Link, *newName, {}, fs.live_.at(*oldName)});
    return 0;
  }

  static int statfs(const char*, struct statvfs* status) {
    auto& fs = layer();
    std::lock_guard<std::mutex> lock(fs.mutex_);
    return ::fstatvfs(fs.backing_, status) == 0 ? 0 : failure();
  }

  static fuse_operations table() {
    fuse_operations operations{};
    operations.init = init;
    operations.getattr = Guarded<getattr>::call;
    operations.access = Guarded<access>::call;
    operations.readdir = Guarded<readdir>::call;
    operations.fsyncdir = Guarded<fsyncdir>::call;
    operations.create = Guarded<create>::call;
    operations.open = Guarded<open>::call;
    operations.read = Guarded<read>::call;
    operations.write = Guarded<write>::call;
    operations.truncate = Guarded<truncate>::call;
    operations.chmod = Guarded<chmod>::call;
    operations.utimens = Guarded<utimens>::call;
    operations.fsync = Guarded<fsync>::call;
    operations.flush = Guarded<flush>::call;
    operations.release = Guarded<release>::call;
    operations.unlink = Guarded<unlink>::call;
    operations.rename = Guarded<rename>::call;
    operations.link = Guarded<link>::call;
    operations.statfs = Guarded<statfs>::call;
    return operations;
  }
};

CrashSimulationFs::CrashSimulationFs(const std::string& mountPoint, const std::string& backingDir,
                                     std::uint64_t faultSeed, LayerOptions options)
    : power_(options.power ? std::move(options.power) : std::make_shared<PowerSwitch>()),
      sharedMappings_(options.sharedMappings),
      random_(faultSeed) {
  load(backingDir);
  const char* arguments[] = {"power-cut-fs", "-o", "fsname=power-cut"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(arguments));
  const fuse_operations operations = Operations::table();
  fuse_ = fuse_new(&args, &operations, sizeof operations, this);
  // fuse_new may have added arguments of its own: they are ours to free.
  fuse_opt_free_args(&args);
  if (fuse_ == nullptr) {
    ::close(backing_);
    throw std::runtime_error("crash-simulation file system: fuse_new failed");
  }
  if (fuse_mount(fuse_, mountPoint.c_str()) != 0) {
    fuse_destroy(fuse_);
    ::close(backing_);
    throw MountRefused(fmt::format("the FUSE mount on {} was refused (see above)", mountPoint));
  }
  loop_ = std::thread([this] { fuse_loop(fuse_); });
}

CrashSimulationFs::~CrashSimulationFs() {
  power_->stop();
  fuse_exit(fuse_);
  fuse_unmount(fuse_);
  loop_.join();
  fuse_destroy(fuse_);
  for (const auto& [fd, inode] : openFiles_) {
    ::close(fd);
  }
  ::close(backing_);
}

void PowerSwitch::closeGate() {
  std::lock_guard<std::mutex> lock(mutex_);
  gateClosed_ = true;
}

bool PowerSwitch::gateHeld() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gateHeld_;
}

void PowerSwitch::openGate(std::uint64_t cutAt) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    operations_ = 0;
    cutAt_ = cutAt;
    gateClosed_ = false;
  }
  changed_.notify_all();
}

bool PowerSwitch::cutHeld() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cutHeld_;
}

void PowerSwitch::endCut() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cutAt_ = 0;
    cutHeld_ = false;
  }
  changed_.notify_all();
}

void PowerSwitch::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}

bool PowerSwitch::admit() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (gateClosed_) {
    gateHeld_ = true;
    changed_.wait(lock, [&] { return !gateClosed_ || stopping_; });
    gateHeld_ = false;
  }
  ++operations_;
  if (cutAt_ != 0 && operations_ == cutAt_) {
    cutHeld_ = true;
    changed_.wait(lock, [&] { return !cutHeld_ || stopping_; });
    return false;
  }
  return !stopping_;
}

bool CrashSimulationFs::admit() { return power_->admit(); }

void CrashSimulationFs::setFaults(const Faults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
}

void CrashSimulationFs::failNext(Operation operation, std::size_t skip) {
  std::lock_guard<std::mutex> lock(mutex_);
  scheduled_[operation].push_back(performed_[operation] + skip + 1);
}

std::chrono::milliseconds CrashSimulationFs::syncDelay() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_.syncDelay;
}

bool CrashSimulationFs::fails(Operation operation) {
  const std::uint64_t number = ++performed_[operation];
  auto& scheduled = scheduled_[operation];
  const auto planned = std::find(scheduled.begin(), scheduled.end(), number);
  bool failing = planned != scheduled.end();
  if (failing) {
    scheduled.erase(planned);
  }
  const double rate = operation == Operation::Rename   ? faults_.renameRate
                      : operation == Operation::Unlink ? faults_.unlinkRate
                                                       : faults_.syncRate;
  // Drawn for every operation, so that a seed replays the same faults.
  failing = std::uniform_real_distribution<double>(0, 1)(random_) < rate || failing;
  if (failing) {
    ++(operation == Operation::Rename   ? counts_.failedRenames
       : operation == Operation::Unlink ? counts_.failedUnlinks
                                        : counts_.failedSyncs);
  }
  return failing;
}

void CrashSimulationFs::apply(const DirectoryOperation& operation, Entries& entries) {
  switch (operation.kind) {
    case DirectoryOperation::Kind::Link:
      entries[operation.name] = operation.inode;
      break;
    case DirectoryOperation::Kind::Unlink:
      entries.erase(operation.name);
      break;
    case DirectoryOperation::Kind::Rename:
      if (operation.name != operation.newName) {
        entries[operation.newName] = entries.at(operation.name);
        entries.erase(operation.name);
      }
      break;
  }
}

void CrashSimulationFs::record(DirectoryOperation operation) {
  apply(operation, live_);
  journal_.push_back(std::move(operation));
}

std::uint64_t CrashSimulationFs::newInode() {
  return nextInode_++;
}

std::string CrashSimulationFs::contentOf(int fd) const {
  std::string content;
  char buffer[64 * 1024];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got <= 0) {
      return content;
    }
    content.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
}

std::size_t CrashSimulationFs::unsyncedOperations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return journal_.size();
}

DirectoryImage CrashSimulationFs::crashImage(std::size_t prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  Entries entries = durable_;
  for (std::size_t i = 0; i < prefix && i < journal_.size(); ++i) {
    apply(journal_[i], entries);
  }
  DirectoryImage image;
  for (const auto& [name, inode] : entries) {
    const auto data = synced_.find(inode);
    image[name] = data != synced_.end() ? data->second : std::string{};
  }
  return image;
}

void CrashSimulationFs::switchBacking(const std::string& backingDir) {
  std::lock_guard<std::mutex> lock(mutex_);
  ::close(backing_);
  load(backingDir);
}

// Takes `backingDir` as the durable state: every regular file with its content.
void CrashSimulationFs::load(const std::string& backingDir) {
  backing_ = ::open(backingDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (backing_ < 0) {
    throw std::runtime_error(fmt::format("crash-simulation file system: open {}: {}",
                                         backingDir, std::strerror(errno)));
  }
  live_.clear();
  synced_.clear();
  journal_.clear();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(backingDir.c_str()), ::closedir);
  while (const dirent* entry = dir ? ::readdir(dir.get()) : nullptr) {
    const int fd = entry->d_type == DT_REG
                       ? ::openat(backing_, entry->d_name, O_RDONLY | O_CLOEXEC)
                       : -1;
    if (fd >= 0) {
      const std::uint64_t inode = newInode();
      live_[entry->d_name] = inode;
      synced_[inode] = contentOf(fd);
      ::close(fd);
    }
  }
  durable_ = live_;
}

CrashSimulationFs::Counts CrashSimulationFs::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

}  // namespace powercut
