// The file-system layer. Every open, read, write, flush to stable storage, rename, unlink,
// directory creation, listing, lock and mapping the library makes goes through one
// FileSystem object, so that tests can swap in a double that fails a chosen call or forgets
// whatever was never flushed (a simulated power loss) and check that nothing committed is
// lost. The real implementation is a thin layer over POSIX.
//
// Invariants:
// - A File is owned by one holder and closed when it goes; its operations go to the file
//   system that opened it, even if another one was installed since.
// - Every failure is QmError::Io carrying the operation, the path and the OS text.
// - fs::get() is the file system in force; only tests change it (ScopedFileSystem), and
//   only while no other thread uses the library.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"

namespace qm::fs {

class FileSystem;

// Flags of FileSystem::open, combined with |.
enum OpenFlags : unsigned {
  kRead = 1u << 0,
  kWrite = 1u << 1,       // kRead | kWrite opens for both
  kCreate = 1u << 2,      // create when missing
  kTruncate = 1u << 3,    // cut to length 0
  kExclusive = 1u << 4,   // with kCreate: fail when the path exists
  kDirectory = 1u << 5,   // the path must be a directory (opened read-only, for sync and locks)
  kNoFollow = 1u << 6,    // refuse a symbolic link as the last component
  kNonBlock = 1u << 7,    // never wait in open (a FIFO swapped in fails or returns at once)
};

enum class EntryKind : uint8_t { Regular, Directory, Symlink, Other };

struct Stat {
  EntryKind kind = EntryKind::Other;
  uint64_t size = 0;
  // Which file this is: two paths name the same file exactly when both numbers agree (a
  // file renamed over a path gives the path a new identity).
  uint64_t device = 0;
  uint64_t inode = 0;
  // Permission bits (the low twelve bits of the mode).
  uint32_t mode = 0;
  // Last status change in nanoseconds (0 where unknown): a file rewritten, replaced by a copy
  // or renamed over a path changes it, even when its identity numbers are reused.
  uint64_t ctime_ns = 0;
};

// A read-only view of a whole file's bytes that stays valid while the object lives. The real
// file system maps the file; the test double holds a copy.
class Mapping {
 public:
  virtual ~Mapping() = default;
  std::span<const uint8_t> bytes() const { return {data_, size_}; }
  size_t size() const { return size_; }

 protected:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// An open file, closed when the object goes.
class File {
 public:
  File() = default;
  File(FileSystem* fs, int handle, std::string path) : fs_(fs), handle_(handle), path_(std::move(path)) {}
  ~File() { close(); }
  File(File&& o) noexcept : fs_(o.fs_), handle_(o.handle_), path_(std::move(o.path_)) { o.fs_ = nullptr; }
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool is_open() const { return fs_ != nullptr; }
  bool opened_by(const FileSystem& fs) const { return fs_ == &fs; }
  const std::string& path() const { return path_; }

  // Reads up to buf.size() bytes at `offset`; fewer only at the end of the file.
  Result<size_t> read_at(std::span<uint8_t> buf, uint64_t offset) const;
  // Reads exactly buf.size() bytes at `offset`; a file too short for them is an Io error.
  Result<void> read_exact_at(std::span<uint8_t> buf, uint64_t offset) const;
  // Writes every byte at `offset` (retrying partial writes).
  Result<void> write_all_at(std::span<const uint8_t> data, uint64_t offset) const;
  Result<void> write_all_at(std::string_view data, uint64_t offset) const {
    return write_all_at({reinterpret_cast<const uint8_t*>(data.data()), data.size()}, offset);
  }
  Result<uint64_t> size() const;
  // What the descriptor refers to (fstat): checked after an open, it cannot be fooled by an
  // entry swapped between a path check and the open.
  Result<Stat> stat() const;
  Result<void> truncate(uint64_t length) const;
  // Flushes data and metadata to stable storage.
  Result<void> sync() const;
  // Asks the file system to start writing these bytes out now, without waiting, so that a
  // later flush has less left to wait for. A hint: nothing is promised and nothing reported
  // (the flush reports any failure).
  void start_writeback(uint64_t offset, uint64_t length) const;
  // Flushes the data (and what reading it back needs) but not the times: for a file rewritten
  // in place, whose size did not change, it saves the file system a journal commit.
  Result<void> sync_data() const;
  // Non-blocking exclusive advisory lock (flock LOCK_EX | LOCK_NB) held until unlock or close;
  // false when another open file holds it.
  Result<bool> try_lock_exclusive() const;
  // Non-blocking shared advisory lock (flock LOCK_SH | LOCK_NB): many holders, none while an
  // exclusive one is held; false when an exclusive lock is held elsewhere.
  Result<bool> try_lock_shared() const;
  Result<void> unlock() const;
  // Maps the file's first `length` bytes read-only.
  Result<std::shared_ptr<const Mapping>> map_readonly(uint64_t length) const;
  // Closes now; errors of close are ignored (data that matters is flushed with sync first).
  void close();
  // A file of the real file system gives up its descriptor without closing it, for
  // close_descriptor to close later (see db/file_closer.h); -1 for any other file, which
  // stays as it was.
  int release_descriptor();

 private:
  friend class FileSystem;
  FileSystem* fs_ = nullptr;
  int handle_ = -1;
  std::string path_;
};

// Closes a descriptor that File::release_descriptor gave up. Allocates nothing, so it may
// run on a thread that a forked child never has.
void close_descriptor(int descriptor);

// One flush of a group (FileSystem::sync_many): an open file, or a path opened for the flush.
struct SyncItem {
  const File* file = nullptr;  // open, and kept open by the caller until the flush returns
  std::string path;            // when `file` is null: a regular file, or a directory
  bool directory = false;      // `path` names a directory (its entries are flushed)
  bool data_only = false;      // a file's data and what reading it back needs, not its times
};

// The operations every implementation provides. Paths are plain strings; relative paths are
// taken from the process's working directory.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual Result<File> open(const std::string& path, unsigned flags, uint32_t mode = 0666) = 0;
  // An unnamed regular file in directory `dir`, open for reading and writing; it disappears
  // when closed (O_TMPFILE, or a named file unlinked at once where that is missing).
  virtual Result<File> open_tmpfile(const std::string& dir) = 0;
  // Replaces `to` atomically when it exists.
  virtual Result<void> rename(const std::string& from, const std::string& to) = 0;
  // Fails (Io, "File exists") when `to` exists.
  virtual Result<void> rename_noreplace(const std::string& from, const std::string& to) = 0;
  virtual Result<void> unlink(const std::string& path) = 0;
  // One directory; an existing entry is an error (mode before the umask).
  virtual Result<void> mkdir(const std::string& path, uint32_t mode = 0777) = 0;
  virtual Result<void> rmdir(const std::string& path) = 0;
  // Sets the permission bits of the entry (links followed).
  virtual Result<void> chmod(const std::string& path, uint32_t mode) = 0;
  // The entry itself (links not followed); nullopt when nothing is there.
  virtual Result<std::optional<Stat>> lstat(const std::string& path) = 0;
  // The same, following symbolic links.
  virtual Result<std::optional<Stat>> stat(const std::string& path) = 0;
  // The names in a directory, sorted bytewise, without "." and "..".
  virtual Result<std::vector<std::string>> list_dir(const std::string& path) = 0;
  // Opens a directory read-only and flushes it (its entries) to stable storage.
  virtual Result<void> sync_dir(const std::string& path) = 0;
  // Makes every item durable. No order among the items is promised: a caller groups only
  // flushes between which none is needed and relies on all of them once this returns. The
  // default flushes them one after another in the order given and stops at the first
  // failure, so a double that counts or fails durable calls sees a fixed order; the real
  // file system issues them at once on a few threads, so the file system can commit them in
  // one journal transaction, waits for all of them and returns the first failure in the
  // order given.
  virtual Result<void> sync_many(std::span<const SyncItem> items);
  // The absolute path of an existing directory with every link resolved. The default, for
  // doubles without links, only checks that the directory exists and returns the path.
  virtual Result<std::string> canonical_dir(const std::string& path);
  // list_dir that stops reading after max_entries + 1 names, so a hostile directory cannot
  // make a listing grow without bound: more than max_entries names means "too many" (those
  // returned are then not sorted).
  virtual Result<std::vector<std::string>> list_dir_bounded(const std::string& path, size_t max_entries);
  // Removes `path` and, for a directory, everything below it, never following a symbolic
  // link: a link is removed as an entry. The default walks by path (lstat, list, unlink,
  // rmdir); the real file system removes entries relative to directories it opened without
  // following links, so a link swapped in mid-walk cannot redirect the removal. Nesting
  // beyond 64 levels is refused. An absent path is an error.
  virtual Result<void> remove_tree(const std::string& path);
  // A second name `to` for the file `from` (a hard link). The default, for doubles without
  // links, refuses with EXDEV, so a caller that can copy instead does.
  virtual Result<void> hard_link(const std::string& from, const std::string& to);
  // Copies `length` bytes from the start of `in` to the start of `out` (a copy the file
  // system may share, where it offers one). The default reads and writes in 1 MiB pieces.
  virtual Result<void> copy_contents(const File& in, const File& out, uint64_t length);

 protected:
  friend class File;
  // Operations on an open file; `f` was opened by this file system.
  virtual Result<size_t> read_at(const File& f, std::span<uint8_t> buf, uint64_t offset) = 0;
  virtual Result<void> write_all_at(const File& f, std::span<const uint8_t> data, uint64_t offset) = 0;
  virtual Result<uint64_t> size(const File& f) = 0;
  // The default, for doubles that only hold regular files: a regular file of size(f) bytes.
  virtual Result<Stat> fstat(const File& f);
  virtual Result<void> truncate(const File& f, uint64_t length) = 0;
  virtual Result<void> sync(const File& f) = 0;
  virtual Result<void> sync_data(const File& f) { return sync(f); }
  // The default, for doubles: nothing to start.
  virtual void start_writeback(const File&, uint64_t, uint64_t) {}
  virtual Result<bool> try_lock_exclusive(const File& f) = 0;
  // A file system without shared locks gives an exclusive one.
  virtual Result<bool> try_lock_shared(const File& f) { return try_lock_exclusive(f); }
  virtual Result<void> unlock(const File& f) = 0;
  virtual Result<std::shared_ptr<const Mapping>> map_readonly(const File& f, uint64_t length) = 0;
  virtual void close(int handle) = 0;
  // For implementations: the handle a File carries.
  static int handle_of(const File& f) { return f.handle_; }
  // For implementations: the file system a File belongs to (null once closed).
  static const FileSystem* owner_of(const File& f) { return f.fs_; }
};

// The real file system.
FileSystem& posix();
// The file system in force: posix() unless a test installed another.
FileSystem& get();

// Installs a file system for the lifetime of the object (tests only); restores the previous.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem& fs);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

// ---- helpers over fs::get() -------------------------------------------------------------

// "a/b" from "a/b/c"; "." for a bare name; "/" for "/c".
std::string parent_dir(std::string_view path);
// a + "/" + b (no doubled separator).
std::string join(std::string_view a, std::string_view b);
// The platform's temporary directory: $TMPDIR when set and non-empty, else /tmp.
std::string temp_dir();
// ".tmp" followed by six random alphanumeric characters.
std::string random_temp_name();

// Reads a whole file.
Result<std::string> read_file(const std::string& path);
// Creates a directory and its missing parents (mode before the umask); an existing directory
// is fine. Returns the directories it created, outermost first, so a caller that needs them
// durable knows which parents to flush.
Result<std::vector<std::string>> mkdir_all(const std::string& path, uint32_t mode = 0777);

struct AtomicWriteOptions {
  // Temporary file to write; empty: a fresh ".tmpXXXXXX" created exclusively beside the target.
  std::string temp_path;
  bool sync_file = true;  // flush the temporary file to stable storage before the rename
  bool sync_dir = true;   // flush the target's directory after the rename
  bool replace = true;    // false: refuse to replace an existing target
  uint32_t mode = 0666;
};

// The flushes of one ordering point, gathered and then issued together (get().sync_many):
// files and directories whose durability no other member of the group waits for, so the
// file system may make them durable in any order, or as one journal commit, and nothing
// that depends on any of them is done before run() succeeds. Files added by reference must
// stay open until run() returns.
class SyncGroup {
 public:
  void add(const File& f, bool data_only = false) { items_.push_back({&f, {}, false, data_only}); }
  // A regular file by path, opened for its flush.
  void add_path(std::string path) { items_.push_back({nullptr, std::move(path), false, false}); }
  // A directory, once however often it is added.
  void add_dir(std::string path);
  bool empty() const { return items_.empty(); }
  size_t size() const { return items_.size(); }
  // Flushes everything gathered; the group is empty afterwards, whatever the outcome.
  Result<void> run();

 private:
  std::vector<SyncItem> items_;
};

// Writes `data` to a temporary file, flushes it, renames it over `path` and flushes the
// directory, as the options say. On failure the temporary file is removed (best effort) and
// `path` is as it was, unless the failure came after the rename (the directory flush).
Result<void> write_file_atomic(const std::string& path, std::span<const uint8_t> data,
                               const AtomicWriteOptions& options = {});

// write_file_atomic with the bytes handed over piece by piece as they are produced: the
// temporary file is created at once, each piece is written as it comes (and its write-out
// started, so the final flush waits for less), and commit() flushes, renames and flushes the
// directory as the options say. Dropped before commit() succeeds, the temporary file is closed
// and removed, and `path` is as it was.
class AtomicFile {
 public:
  static Result<AtomicFile> create(const std::string& path, const AtomicWriteOptions& options);
  AtomicFile(AtomicFile&& o) noexcept
      : fs_(o.fs_), path_(std::move(o.path_)), dir_(std::move(o.dir_)), temp_(std::move(o.temp_)), file_(std::move(o.file_)),
        options_(std::move(o.options_)), written_(o.written_), started_(o.started_),
        open_(std::exchange(o.open_, false)) {}
  AtomicFile& operator=(AtomicFile&&) = delete;
  ~AtomicFile();

  // Writes the next bytes after those already written.
  Result<void> append(std::span<const uint8_t> bytes);
  Result<void> commit();

 private:
  AtomicFile(FileSystem& fs, std::string path, std::string dir, std::string temp, File file,
             AtomicWriteOptions options)
      : fs_(&fs), path_(std::move(path)), dir_(std::move(dir)), temp_(std::move(temp)), file_(std::move(file)),
        options_(std::move(options)) {}
  // Closes and removes the temporary file (once).
  void discard();

  FileSystem* fs_;  // the file system in force when the file was created
  std::string path_;
  std::string dir_;
  std::string temp_;
  File file_;
  AtomicWriteOptions options_;
  uint64_t written_ = 0;
  uint64_t started_ = 0;  // bytes whose write-out was started
  bool open_ = true;      // the temporary file is still ours to remove
};
inline Result<void> write_file_atomic(const std::string& path, std::string_view data,
                                      const AtomicWriteOptions& options = {}) {
  return write_file_atomic(path, {reinterpret_cast<const uint8_t*>(data.data()), data.size()}, options);
}

}  // namespace qm::fs
