#include "hobrin_ann/format/file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hobrin_ann/format/descriptor.hpp"
#include "hobrin_ann/format/temporary_file.hpp"

namespace hobrin::ann {
namespace {

// Puts what was written to `fd` on the disk. On macOS fsync only hands it to
// the drive, which may keep it in its cache past a power loss; F_FULLFSYNC
// has the drive write it through. A file system that cannot refuses it, and
// fsync is then the best there is.
int sync_to_disk(int fd) noexcept {
#ifdef __APPLE__
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return ::fsync(fd);
}

// An I/O call failed; carried from deep inside a write or read to the caller.
struct IoFailure {
  int code;
  const char* action;
};

// Writes through a 1 MiB buffer; large pieces go straight to the file.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(int fd) : fd_(fd), buffer_(kBufferBytes) {}

  void write(const void* data, std::size_t size) override {
    if (used_ + size > buffer_.size()) flush();
    if (size >= buffer_.size()) {
      write_all(static_cast<const char*>(data), size);
      return;
    }
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
  }
  void flush() {
    write_all(buffer_.data(), used_);
    used_ = 0;
  }

 private:
  static constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
  void write_all(const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t written = ::write(fd_, data, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        throw IoFailure{errno, "writing"};
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
  }
  int fd_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};

class FileSource final : public ByteSource {
 public:
  FileSource(int fd, std::uint64_t size) : ByteSource(size), fd_(fd) {}

 private:
  void read_at(std::uint64_t position, std::byte* out, std::size_t count) override {
    while (count > 0) {
      const ssize_t got = ::pread(fd_, out, count, static_cast<off_t>(position));
      if (got < 0) {
        if (errno == EINTR) continue;
        throw IoFailure{errno, "reading"};
      }
      if (got == 0) throw CorruptIndex("the file became shorter while it was read");
      out += got;
      position += static_cast<std::uint64_t>(got);
      count -= static_cast<std::size_t>(got);
    }
  }
  int fd_;
};

// A whole file mapped read-only; unmapped when the last holder lets go. It
// keeps the file open to tell whether it changed in place since: a
// truncation (pages past the new end fault when read), a new modification
// time, or a start (preamble and parameters) other than the one loaded, for
// writes within the file system's timestamp granularity. A rename over its
// path leaves the mapped file as it was, so that is no change.
class Mapping final : public MappedFile {
 public:
  Mapping(void* address, std::size_t size, Descriptor file, const struct stat& status, std::string path)
      : address_(address),
        size_(size),
        file_(std::move(file)),
        modified_(status.st_mtim),
        start_(bytes(), bytes() + std::min(size, kStartBytes)),
        path_(std::move(path)) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() override { ::munmap(address_, size_); }
  const std::byte* bytes() const noexcept { return static_cast<const std::byte*>(address_); }

  std::optional<std::string> changed() const override {
    struct stat now{};
    std::string what;
    if (::fstat(file_.get(), &now) != 0) {
      what = std::string("it can no longer be looked at: ") + std::strerror(errno);
    } else if (static_cast<std::uint64_t>(now.st_size) < size_) {
      what = "it was cut to " + std::to_string(now.st_size) + " bytes from " + std::to_string(size_);
    } else if (now.st_mtim.tv_sec != modified_.tv_sec || now.st_mtim.tv_nsec != modified_.tv_nsec ||
               std::memcmp(bytes(), start_.data(), start_.size()) != 0) {
      what = "it was written in place";
    } else {
      return std::nullopt;
    }
    return "the index file '" + path_ + "' changed after it was mapped (" + what +
           "): load it again. To replace a file that an index maps, save the new one beside it "
           "and rename it over the old";
  }

 private:
  static constexpr std::size_t kStartBytes = 4096;
  void* address_;
  std::size_t size_;
  Descriptor file_;
  struct timespec modified_;
  std::vector<std::byte> start_;  // the file's first bytes as they were mapped
  std::string path_;
};

class MappedSource final : public ByteSource {
 public:
  MappedSource(std::shared_ptr<const Mapping> mapping, std::uint64_t size)
      : ByteSource(size), mapping_(std::move(mapping)) {}
  std::shared_ptr<const MappedFile> mapping() const override { return mapping_; }

 private:
  void read_at(std::uint64_t position, std::byte* out, std::size_t count) override {
    if (count != 0) std::memcpy(out, mapping_->bytes() + position, count);
  }
  const std::byte* in_place(std::uint64_t position, std::size_t) const override {
    return mapping_->bytes() + position;
  }
  std::shared_ptr<const Mapping> mapping_;
};

// Writes the file through `write`, syncs it and puts it in the place of
// `path`; removes it on any failure.
std::expected<void, FileError> write_and_rename(TemporaryFile& temporary, const std::string& path,
                                                const std::function<void(ByteSink&)>& write) {
  auto give_up = [&](int code, const char* action) {
    temporary.file.close();
    ::unlink(temporary.path.c_str());
    return std::unexpected(FileError{code, action});
  };
  try {
    FileSink sink(temporary.file.get());
    write(sink);
    sink.flush();
  } catch (const IoFailure& failure) {
    return give_up(failure.code, failure.action);
  } catch (...) {
    temporary.file.close();
    ::unlink(temporary.path.c_str());
    throw;
  }
  if (sync_to_disk(temporary.file.get()) != 0) return give_up(errno, "syncing");
  if (const int code = temporary.file.close(); code != 0) {
    ::unlink(temporary.path.c_str());
    return std::unexpected(FileError{code, "closing"});
  }
  if (::rename(temporary.path.c_str(), path.c_str()) != 0) {
    const int code = errno;
    ::unlink(temporary.path.c_str());
    return std::unexpected(FileError{code, "renaming over the target"});
  }
  return {};
}

// What a path that is not a regular file is, for the message that refuses it.
const char* kind_of(mode_t mode) noexcept {
  if (S_ISFIFO(mode)) return "a pipe";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "of no kind known here";
}

// Only a regular file is read: a pipe or a device may never end or block, and
// the reader needs the size up front. A folder is EISDIR, as open() says.
std::optional<FileError> refuse_unless_regular(const struct stat& status) {
  if (S_ISREG(status.st_mode)) return std::nullopt;
  if (S_ISDIR(status.st_mode)) return FileError{EISDIR, "opening"};
  return FileError{EINVAL, "opening", std::string("not a regular file (") + kind_of(status.st_mode) + ")"};
}

}  // namespace

std::expected<void, FileError> save_file(const std::string& path,
                                         const std::function<void(ByteSink&)>& write) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty() || base == "." || base == "..")
    return std::unexpected(FileError{EISDIR, "opening the target"});

  remove_stale_temporaries(folder, base);
  auto temporary = create_temporary(folder, base);
  if (!temporary) return std::unexpected(temporary.error());
  if (auto written = write_and_rename(*temporary, path, write); !written) return written;
  // The rename itself must reach the disk too. A file system that cannot sync
  // a folder says so with EINVAL; that is not a failure of the save.
  Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0) return std::unexpected(FileError{errno, "opening the folder to sync it"});
  if (sync_to_disk(directory.get()) != 0 && errno != EINVAL)
    return std::unexpected(FileError{errno, "syncing the folder"});
  return {};
}

namespace {

// Opens the regular file at `path` for reading. Looked at before it is
// opened, since opening a pipe waits for a writer and opening some devices
// does something; and again once open (non-blocking, so that nothing waits),
// in case the path changed in between.
std::expected<Descriptor, FileError> open_regular(const std::string& path, struct stat& status) {
  if (::stat(path.c_str(), &status) != 0) return std::unexpected(FileError{errno, "opening"});
  if (auto refused = refuse_unless_regular(status)) return std::unexpected(*std::move(refused));
  Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) return std::unexpected(FileError{errno, "opening"});
  if (::fstat(file.get(), &status) != 0) return std::unexpected(FileError{errno, "opening"});
  if (auto refused = refuse_unless_regular(status)) return std::unexpected(*std::move(refused));
  return file;
}

}  // namespace

std::expected<void, FileError> read_file(const std::string& path,
                                         const std::function<void(ByteSource&)>& read) {
  struct stat status{};
  auto file = open_regular(path, status);
  if (!file) return std::unexpected(file.error());
  try {
    FileSource source(file->get(), static_cast<std::uint64_t>(status.st_size));
    read(source);
  } catch (const IoFailure& failure) {
    return std::unexpected(FileError{failure.code, failure.action});
  }
  return {};
}

std::expected<void, FileError> map_file(const std::string& path,
                                        const std::function<void(ByteSource&)>& read) {
  struct stat status{};
  auto file = open_regular(path, status);
  if (!file) return std::unexpected(file.error());
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size == 0 || size > SIZE_MAX) {
    // Nothing to map (or more than the address space): the reader says why.
    try {
      FileSource source(file->get(), size);
      read(source);
    } catch (const IoFailure& failure) {
      return std::unexpected(FileError{failure.code, failure.action});
    }
    return {};
  }
  void* address = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, file->get(), 0);
  if (address == MAP_FAILED) return std::unexpected(FileError{errno, "mapping"});
  // No madvise: measured from a cold page cache, the kernel's default
  // read-ahead served the first searches fastest; MADV_RANDOM made them ten
  // times slower (a read per 4 KiB page), MADV_WILLNEED gained nothing.
  MappedSource source(std::make_shared<const Mapping>(address, static_cast<std::size_t>(size),
                                                      std::move(*file), status, path),
                      size);
  read(source);
  return {};
}

}  // namespace hobrin::ann
