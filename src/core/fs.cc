// The POSIX file system and the helpers over fs::get(). System calls are retried on EINTR;
// every failure becomes QmError::Io naming the operation and the path.
#include "core/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <thread>

#include "core/signals_blocked.h"

namespace qm::fs {
namespace {

QmError os_error(const char* op, const std::string& path, int err) {
  return QmError::from_errno(std::string(op) + " " + path, err);
}

template <class F>
auto retry(F f) {
  for (;;) {
    auto r = f();
    if (r >= 0 || errno != EINTR) return r;
  }
}

class PosixMapping final : public Mapping {
 public:
  PosixMapping(void* p, size_t n) {
    data_ = static_cast<const uint8_t*>(p);
    size_ = n;
  }
  PosixMapping() = default;
  ~PosixMapping() override {
    if (data_ && size_) munmap(const_cast<uint8_t*>(data_), size_);
  }
};

Stat stat_of(const struct stat& st) {
  Stat out;
  if (S_ISREG(st.st_mode)) out.kind = EntryKind::Regular;
  else if (S_ISDIR(st.st_mode)) out.kind = EntryKind::Directory;
  else if (S_ISLNK(st.st_mode)) out.kind = EntryKind::Symlink;
  else out.kind = EntryKind::Other;
  out.size = static_cast<uint64_t>(st.st_size);
  out.device = static_cast<uint64_t>(st.st_dev);
  out.inode = static_cast<uint64_t>(st.st_ino);
  out.mode = static_cast<uint32_t>(st.st_mode) & 07777u;
  out.ctime_ns = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_ctim.tv_nsec);
  return out;
}

// One item of a group, through `fs` (files already open go to the file system that opened them).
Result<void> sync_item(FileSystem& fs, const SyncItem& item) {
  if (item.file) return item.data_only ? item.file->sync_data() : item.file->sync();
  if (item.directory) return fs.sync_dir(item.path);
  QM_ASSIGN(File f, fs.open(item.path, kRead));
  return item.data_only ? f.sync_data() : f.sync();
}

// At most this many flushes of a group run at once (the calling thread is one of them).
constexpr size_t kSyncThreads = 4;

class PosixFileSystem final : public FileSystem {
 public:
  Result<File> open(const std::string& path, unsigned flags, uint32_t mode) override {
    int oflags = O_CLOEXEC;
    if (flags & kDirectory) {
      oflags |= O_RDONLY | O_DIRECTORY;
    } else if ((flags & kRead) && (flags & kWrite)) {
      oflags |= O_RDWR;
    } else if (flags & kWrite) {
      oflags |= O_WRONLY;
    } else {
      // Non-blocking so that opening a FIFO for reading returns at once (and is then
      // refused as not a regular file); reads of regular files are unaffected.
      oflags |= O_RDONLY | O_NONBLOCK;
    }
    if (flags & kCreate) oflags |= O_CREAT;
    if (flags & kTruncate) oflags |= O_TRUNC;
    if (flags & kExclusive) oflags |= O_EXCL;
    if (flags & kNoFollow) oflags |= O_NOFOLLOW;
    if (flags & kNonBlock) oflags |= O_NONBLOCK;
    int fd = retry([&] { return ::open(path.c_str(), oflags, static_cast<mode_t>(mode)); });
    if (fd < 0) return fail(os_error("open", path, errno));
    return File(this, fd, path);
  }

  Result<File> open_tmpfile(const std::string& dir) override {
#ifdef O_TMPFILE
    int fd = retry([&] { return ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); });
    if (fd >= 0) return File(this, fd, dir + "/(unnamed)");
    // File systems without unnamed files: fall back to a named one removed at once.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return fail(os_error("open O_TMPFILE in", dir, errno));
#endif
    std::string templ = join(dir, ".qm_tmp_XXXXXX");
    int fd2 = mkstemp(templ.data());
    if (fd2 < 0) return fail(os_error("mkstemp in", dir, errno));
    ::unlink(templ.c_str());
    fcntl(fd2, F_SETFD, FD_CLOEXEC);
    return File(this, fd2, templ);
  }

  Result<void> hard_link(const std::string& from, const std::string& to) override {
    if (::link(from.c_str(), to.c_str()) != 0) return fail(os_error("link", from + " to " + to, errno));
    return {};
  }

  Result<void> copy_contents(const File& in, const File& out, uint64_t length) override {
    loff_t in_off = 0, out_off = 0;
    while (static_cast<uint64_t>(in_off) < length) {
      const ssize_t n = ::copy_file_range(handle_of(in), &in_off, handle_of(out), &out_off,
                                          static_cast<size_t>(length - static_cast<uint64_t>(in_off)), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && in_off == 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL))
        return FileSystem::copy_contents(in, out, length);  // no in-kernel copy here
      if (n < 0) return fail(os_error("copy", in.path() + " to " + out.path(), errno));
      if (n == 0) return fail(os_error("copy", in.path() + " (file shrank)", EIO));
    }
    return {};
  }

  Result<void> rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return fail(os_error("rename", from + " to " + to, errno));
    return {};
  }

  Result<void> rename_noreplace(const std::string& from, const std::string& to) override {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
    if (errno != EINVAL && errno != ENOSYS)
      return fail(os_error("rename", from + " to " + to, errno));
#endif
    // Without renameat2: a hard link refuses an existing target, then the old name goes.
    if (::link(from.c_str(), to.c_str()) != 0) return fail(os_error("rename", from + " to " + to, errno));
    if (::unlink(from.c_str()) != 0) return fail(os_error("unlink", from, errno));
    return {};
  }

  Result<void> unlink(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return fail(os_error("unlink", path, errno));
    return {};
  }

  Result<void> mkdir(const std::string& path, uint32_t mode) override {
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) return fail(os_error("mkdir", path, errno));
    return {};
  }

  Result<void> rmdir(const std::string& path) override {
    if (::rmdir(path.c_str()) != 0) return fail(os_error("rmdir", path, errno));
    return {};
  }

  Result<void> chmod(const std::string& path, uint32_t mode) override {
    if (::chmod(path.c_str(), static_cast<mode_t>(mode & 07777u)) != 0) return fail(os_error("chmod", path, errno));
    return {};
  }

  Result<std::optional<Stat>> lstat(const std::string& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return std::optional<Stat>();
      return fail(os_error("lstat", path, errno));
    }
    return std::optional<Stat>(stat_of(st));
  }

  Result<std::optional<Stat>> stat(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return std::optional<Stat>();
      return fail(os_error("stat", path, errno));
    }
    return std::optional<Stat>(stat_of(st));
  }

  Result<std::vector<std::string>> list_dir(const std::string& path) override {
    return list_dir_bounded(path, SIZE_MAX - 1);
  }

  Result<std::vector<std::string>> list_dir_bounded(const std::string& path, size_t max_entries) override {
    DIR* d = ::opendir(path.c_str());
    if (!d) return fail(os_error("opendir", path, errno));
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      dirent* e = ::readdir(d);
      if (!e) break;
      std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      names.emplace_back(name);
      if (names.size() > max_entries) break;
    }
    int err = names.size() > max_entries ? 0 : errno;
    ::closedir(d);
    if (err != 0) return fail(os_error("readdir", path, err));
    if (names.size() <= max_entries) std::sort(names.begin(), names.end());
    return names;
  }

  Result<void> remove_tree(const std::string& path) override {
    std::string parent = parent_dir(path);
    std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    int dirfd = retry([&] { return ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (dirfd < 0) return fail(os_error("open", parent, errno));
    auto r = remove_at(dirfd, name, path, 0);
    ::close(dirfd);
    return r;
  }

  Result<void> sync_dir(const std::string& path) override {
    int fd = retry([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return fail(os_error("open", path, errno));
    int rc = retry([&] { return ::fsync(fd); });
    int err = errno;
    ::close(fd);
    if (rc != 0) return fail(os_error("fsync", path, err));
    return {};
  }

  Result<void> sync_many(std::span<const SyncItem> items) override {
    bool foreign = false;
    for (const SyncItem& item : items) foreign = foreign || (item.file && owner_of(*item.file) != this);
    if (items.size() < 2 || foreign) return FileSystem::sync_many(items);
    // Each thread takes the next item not yet started; every item is tried, and the threads
    // are joined before the outcome is read.
    std::vector<Result<void>> results(items.size());
    // What a flush threw (memory running out) is thrown again on the calling thread.
    std::vector<std::exception_ptr> thrown(items.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
      for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < items.size();) {
        try {
          results[i] = sync_item(*this, items[i]);
        } catch (...) {
          thrown[i] = std::current_exception();
        }
      }
    };
    std::vector<std::thread> helpers;
    {
      // The helpers take no signals: the host's handlers stay on its own threads.
      SignalsBlocked quiet;
      try {
        const size_t wanted = std::min(items.size(), kSyncThreads) - 1;
        helpers.reserve(wanted);
        while (helpers.size() < wanted) helpers.emplace_back(work);
      } catch (...) {
        // No thread to be had: the calling thread flushes what the helpers started do not.
      }
    }
    work();
    for (std::thread& t : helpers) t.join();
    for (size_t i = 0; i < items.size(); ++i) {
      if (thrown[i]) std::rethrow_exception(thrown[i]);
      QM_TRY(std::move(results[i]));
    }
    return {};
  }

  Result<std::string> canonical_dir(const std::string& path) override {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return fail(os_error("canonicalize", path, errno));
    std::string out(resolved);
    std::free(resolved);
    struct stat st;
    if (::stat(out.c_str(), &st) != 0) return fail(os_error("stat", out, errno));
    if (!S_ISDIR(st.st_mode)) return fail(os_error("canonicalize", path, ENOTDIR));
    return out;
  }

 protected:
  Result<Stat> fstat(const File& f) override {
    struct stat st;
    if (::fstat(handle_of(f), &st) != 0) return fail(os_error("fstat", f.path(), errno));
    return stat_of(st);
  }

  Result<size_t> read_at(const File& f, std::span<uint8_t> buf, uint64_t offset) override {
    size_t done = 0;
    while (done < buf.size()) {
      ssize_t n = ::pread(handle_of(f), buf.data() + done, buf.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(os_error("read", f.path(), errno));
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }

  Result<void> write_all_at(const File& f, std::span<const uint8_t> data, uint64_t offset) override {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::pwrite(handle_of(f), data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(os_error("write", f.path(), errno));
      }
      if (n == 0) return fail(os_error("write", f.path(), EIO));
      done += static_cast<size_t>(n);
    }
    return {};
  }

  Result<uint64_t> size(const File& f) override {
    struct stat st;
    if (::fstat(handle_of(f), &st) != 0) return fail(os_error("fstat", f.path(), errno));
    // Only regular files have a size worth trusting: a FIFO or a device put where a
    // database file belongs must fail, not block or stream without end.
    if (!S_ISREG(st.st_mode)) return fail(os_error("open", f.path(), EINVAL));
    return static_cast<uint64_t>(st.st_size);
  }

  Result<void> truncate(const File& f, uint64_t length) override {
    if (retry([&] { return ::ftruncate(handle_of(f), static_cast<off_t>(length)); }) != 0)
      return fail(os_error("truncate", f.path(), errno));
    return {};
  }

  Result<void> sync(const File& f) override {
#ifdef F_FULLFSYNC
    if (::fcntl(handle_of(f), F_FULLFSYNC) == 0) return {};
#endif
    if (retry([&] { return ::fsync(handle_of(f)); }) != 0) return fail(os_error("fsync", f.path(), errno));
    return {};
  }

  void start_writeback(const File& f, uint64_t offset, uint64_t length) override {
#ifdef SYNC_FILE_RANGE_WRITE
    (void)::sync_file_range(handle_of(f), static_cast<off_t>(offset), static_cast<off_t>(length),
                            SYNC_FILE_RANGE_WRITE);
#else
    (void)f;
    (void)offset;
    (void)length;
#endif
  }

  Result<void> sync_data(const File& f) override {
#ifdef F_FULLFSYNC
    return sync(f);
#else
    if (retry([&] { return ::fdatasync(handle_of(f)); }) != 0) return fail(os_error("fdatasync", f.path(), errno));
    return {};
#endif
  }

  Result<bool> try_lock_exclusive(const File& f) override {
    if (retry([&] { return ::flock(handle_of(f), LOCK_EX | LOCK_NB); }) == 0) return true;
    if (errno == EWOULDBLOCK) return false;
    return fail(os_error("flock", f.path(), errno));
  }

  Result<bool> try_lock_shared(const File& f) override {
    if (retry([&] { return ::flock(handle_of(f), LOCK_SH | LOCK_NB); }) == 0) return true;
    if (errno == EWOULDBLOCK) return false;
    return fail(os_error("flock", f.path(), errno));
  }

  Result<void> unlock(const File& f) override {
    if (retry([&] { return ::flock(handle_of(f), LOCK_UN); }) != 0) return fail(os_error("unlock", f.path(), errno));
    return {};
  }

  Result<std::shared_ptr<const Mapping>> map_readonly(const File& f, uint64_t length) override {
    if (length == 0) return std::shared_ptr<const Mapping>(std::make_shared<PosixMapping>());
    if (length > SIZE_MAX) return fail(os_error("mmap", f.path(), EFBIG));
    void* p = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, handle_of(f), 0);
    if (p == MAP_FAILED) return fail(os_error("mmap", f.path(), errno));
    return std::shared_ptr<const Mapping>(std::make_shared<PosixMapping>(p, static_cast<size_t>(length)));
  }

  void close(int handle) override { ::close(handle); }

 private:
  // Removes entry `name` of the open directory `dirfd`; `path` only names it in errors.
  Result<void> remove_at(int dirfd, const std::string& name, const std::string& path, int depth) {
    if (::unlinkat(dirfd, name.c_str(), 0) == 0) return {};
    if (errno != EISDIR && errno != EPERM) return fail(os_error("unlink", path, errno));
    if (depth >= 64) return fail(os_error("remove", path, ELOOP));
    int fd = retry([&] { return ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0) return fail(os_error("open", path, errno));
    DIR* d = ::fdopendir(fd);
    if (!d) {
      int err = errno;
      ::close(fd);
      return fail(os_error("opendir", path, err));
    }
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      dirent* e = ::readdir(d);
      if (!e) break;
      std::string_view n = e->d_name;
      if (n != "." && n != "..") names.emplace_back(n);
    }
    int err = errno;
    Result<void> r;
    if (err != 0) r = fail(os_error("readdir", path, err));
    for (size_t i = 0; r && i < names.size(); ++i) r = remove_at(::dirfd(d), names[i], join(path, names[i]), depth + 1);
    ::closedir(d);
    if (!r) return r;
    if (::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) != 0) return fail(os_error("rmdir", path, errno));
    return {};
  }
};

std::atomic<FileSystem*> g_current{nullptr};

}  // namespace

// ---- File -------------------------------------------------------------------------------

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    close();
    fs_ = o.fs_;
    handle_ = o.handle_;
    path_ = std::move(o.path_);
    o.fs_ = nullptr;
  }
  return *this;
}

void File::close() {
  if (fs_) fs_->close(handle_);
  fs_ = nullptr;
  handle_ = -1;
}

int File::release_descriptor() {
  if (fs_ != &posix()) return -1;
  const int descriptor = handle_;
  fs_ = nullptr;
  handle_ = -1;
  return descriptor;
}

void close_descriptor(int descriptor) { ::close(descriptor); }

static QmError closed_file(const std::string& path) { return QmError::from_errno("use of closed file " + path, EBADF); }

Result<size_t> File::read_at(std::span<uint8_t> buf, uint64_t offset) const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->read_at(*this, buf, offset);
}

Result<void> File::read_exact_at(std::span<uint8_t> buf, uint64_t offset) const {
  QM_ASSIGN(size_t n, read_at(buf, offset));
  if (n != buf.size())
    return fail(QmError::io("read " + path_ + ": file ends after " + std::to_string(n) + " of " +
                            std::to_string(buf.size()) + " bytes at offset " + std::to_string(offset)));
  return {};
}

Result<void> File::write_all_at(std::span<const uint8_t> data, uint64_t offset) const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->write_all_at(*this, data, offset);
}

Result<uint64_t> File::size() const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->size(*this);
}

Result<Stat> File::stat() const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->fstat(*this);
}

Result<void> File::truncate(uint64_t length) const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->truncate(*this, length);
}

Result<void> File::sync() const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->sync(*this);
}

void File::start_writeback(uint64_t offset, uint64_t length) const {
  if (fs_) fs_->start_writeback(*this, offset, length);
}

Result<void> File::sync_data() const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->sync_data(*this);
}

Result<bool> File::try_lock_exclusive() const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->try_lock_exclusive(*this);
}

Result<bool> File::try_lock_shared() const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->try_lock_shared(*this);
}

Result<void> File::unlock() const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->unlock(*this);
}

Result<std::shared_ptr<const Mapping>> File::map_readonly(uint64_t length) const {
  if (!fs_) return fail(closed_file(path_));
  return fs_->map_readonly(*this, length);
}

// ---- defaults for doubles ------------------------------------------------------------------

Result<std::string> FileSystem::canonical_dir(const std::string& path) {
  QM_ASSIGN(auto st, stat(path));
  if (!st) return fail(QmError::from_errno("canonicalize " + path, ENOENT));
  if (st->kind != EntryKind::Directory) return fail(QmError::from_errno("canonicalize " + path, ENOTDIR));
  return path;
}

Result<Stat> FileSystem::fstat(const File& f) {
  QM_ASSIGN(uint64_t n, size(f));
  Stat out;
  out.kind = EntryKind::Regular;
  out.size = n;
  return out;
}

Result<std::vector<std::string>> FileSystem::list_dir_bounded(const std::string& path, size_t) { return list_dir(path); }

Result<void> FileSystem::sync_many(std::span<const SyncItem> items) {
  for (const SyncItem& item : items) QM_TRY(sync_item(*this, item));
  return {};
}

Result<void> FileSystem::hard_link(const std::string& from, const std::string& to) {
  return fail(QmError::from_errno("link " + from + " to " + to, EXDEV));
}

Result<void> FileSystem::copy_contents(const File& in, const File& out, uint64_t length) {
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(length, uint64_t{1} << 20)));
  uint64_t offset = 0;
  while (offset < length) {
    QM_ASSIGN(size_t n, in.read_at(std::span<uint8_t>(buf.data(), static_cast<size_t>(std::min<uint64_t>(buf.size(), length - offset))), offset));
    if (n == 0) return fail(QmError::from_errno("copy " + in.path() + " (file shrank)", EIO));
    QM_TRY(out.write_all_at(std::span<const uint8_t>(buf.data(), n), offset));
    offset += n;
  }
  return {};
}

Result<void> FileSystem::remove_tree(const std::string& path) {
  struct Item {
    std::string path;
    int depth;
    bool listed;
  };
  std::vector<Item> stack{{path, 0, false}};
  while (!stack.empty()) {
    Item& top = stack.back();
    QM_ASSIGN(auto st, lstat(top.path));
    if (!st) return fail(os_error("remove", top.path, ENOENT));
    if (st->kind != EntryKind::Directory || top.listed) {
      QM_TRY(st->kind == EntryKind::Directory ? rmdir(top.path) : unlink(top.path));
      stack.pop_back();
      continue;
    }
    if (top.depth >= 64) return fail(os_error("remove", top.path, ELOOP));
    top.listed = true;
    std::string dir = top.path;
    int depth = top.depth + 1;
    QM_ASSIGN(auto names, list_dir(dir));
    for (auto it = names.rbegin(); it != names.rend(); ++it) stack.push_back({join(dir, *it), depth, false});
  }
  return {};
}

// ---- installation -------------------------------------------------------------------------

FileSystem& posix() {
  // Never destroyed: files held by static objects of the host (closed in its own exit-time
  // destructors) still reach their file system after this translation unit's statics are gone.
  static PosixFileSystem* fs = new PosixFileSystem;
  return *fs;
}

FileSystem& get() {
  FileSystem* fs = g_current.load(std::memory_order_acquire);
  return fs ? *fs : posix();
}

ScopedFileSystem::ScopedFileSystem(FileSystem& fs) : previous_(g_current.exchange(&fs)) {}
ScopedFileSystem::~ScopedFileSystem() { g_current.store(previous_); }

// ---- helpers ------------------------------------------------------------------------------

void SyncGroup::add_dir(std::string path) {
  for (const SyncItem& item : items_)
    if (item.directory && item.path == path) return;
  items_.push_back({nullptr, std::move(path), true, false});
}

Result<void> SyncGroup::run() {
  std::vector<SyncItem> items = std::move(items_);
  items_.clear();
  return get().sync_many(items);
}

std::string parent_dir(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string join(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  std::string out(a);
  if (out.back() != '/') out += '/';
  out += b;
  return out;
}

std::string temp_dir() {
  const char* t = std::getenv("TMPDIR");
  if (t && *t) return t;
  return "/tmp";
}

std::string random_temp_name() {
  static constexpr char kAlnum[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 rng{std::random_device{}()};
  std::string name = ".tmp";
  for (int i = 0; i < 6; ++i) name += kAlnum[rng() % (sizeof kAlnum - 1)];
  return name;
}

Result<std::string> read_file(const std::string& path) {
  QM_ASSIGN(File f, get().open(path, kRead));
  QM_ASSIGN(uint64_t size, f.size());
  std::string out;
  // Read by size first, then to the real end (the file may change under us).
  out.resize(static_cast<size_t>(size));
  QM_ASSIGN(size_t n, f.read_at({reinterpret_cast<uint8_t*>(out.data()), out.size()}, 0));
  out.resize(n);
  if (n == size) {
    uint8_t extra[4096];
    for (;;) {
      QM_ASSIGN(size_t m, f.read_at(extra, out.size()));
      if (m == 0) break;
      out.append(reinterpret_cast<const char*>(extra), m);
    }
  }
  return out;
}

Result<std::vector<std::string>> mkdir_all(const std::string& path, uint32_t mode) {
  std::vector<std::string> missing;
  std::string cur = path;
  for (;;) {
    QM_ASSIGN(auto st, get().stat(cur));
    if (st) {
      if (st->kind != EntryKind::Directory) return fail(QmError::from_errno("mkdir " + path, ENOTDIR));
      break;
    }
    missing.push_back(cur);
    std::string parent = parent_dir(cur);
    if (parent == cur || parent == "." || parent == "/") break;
    cur = parent;
  }
  std::vector<std::string> created;
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    auto r = get().mkdir(*it, mode);
    if (!r) {
      // Someone else may have made it meanwhile.
      auto st = get().stat(*it);
      if (!st || !*st || (*st)->kind != EntryKind::Directory) return fail(std::move(r).error());
      continue;
    }
    created.push_back(*it);
  }
  return created;
}

Result<AtomicFile> AtomicFile::create(const std::string& path, const AtomicWriteOptions& options) {
  FileSystem& fs = get();
  std::string dir = parent_dir(path);
  std::string temp = options.temp_path;
  File f;
  if (temp.empty()) {
    for (int attempt = 0;; ++attempt) {
      temp = join(dir, random_temp_name());
      auto opened = fs.open(temp, kWrite | kCreate | kExclusive, options.mode);
      if (opened) {
        f = std::move(*opened);
        break;
      }
      // Only a name already taken is worth another try.
      auto taken = fs.lstat(temp);
      if (attempt >= 16 || !taken || !*taken) return fail(std::move(opened).error());
    }
  } else {
    QM_ASSIGN(f, fs.open(temp, kWrite | kCreate | kTruncate, options.mode));
  }
  return AtomicFile(fs, path, std::move(dir), std::move(temp), std::move(f), options);
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
  if (!open_) return;
  open_ = false;
  file_.close();
  (void)fs_->unlink(temp_);
}

Result<void> AtomicFile::append(std::span<const uint8_t> bytes) {
  if (!open_) return fail(QmError::io("write to an abandoned temporary file: " + temp_));
  if (auto r = file_.write_all_at(bytes, written_); !r) {
    discard();
    return r;
  }
  written_ += bytes.size();
  // Write-out is started a few MiB at a time: the disk works while the next pieces are made.
  constexpr uint64_t kStartEvery = uint64_t{4} << 20;
  if (options_.sync_file && written_ - started_ >= kStartEvery) {
    file_.start_writeback(started_, written_ - started_);
    started_ = written_;
  }
  return {};
}

Result<void> AtomicFile::commit() {
  if (!open_) return fail(QmError::io("commit of an abandoned temporary file: " + temp_));
  if (options_.sync_file) {
    if (auto r = file_.sync(); !r) {
      discard();
      return r;
    }
  }
  file_.close();
  auto renamed = options_.replace ? fs_->rename(temp_, path_) : fs_->rename_noreplace(temp_, path_);
  if (!renamed) {
    discard();
    return renamed;
  }
  open_ = false;
  if (options_.sync_dir) QM_TRY(fs_->sync_dir(dir_));
  return {};
}

Result<void> write_file_atomic(const std::string& path, std::span<const uint8_t> data,
                               const AtomicWriteOptions& options) {
  QM_ASSIGN(AtomicFile file, AtomicFile::create(path, options));
  QM_TRY(file.append(data));
  return file.commit();
}

}  // namespace qm::fs
