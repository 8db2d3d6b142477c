#include "hobrin_ann/format/temporary_file.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hobrin::ann {
namespace {

constexpr const char* kCreating = "creating a temporary file in the target's folder";
// Names stay within the 255 bytes a name may have.
constexpr std::size_t kBaseBytes = 180;

std::string name_prefix(std::string_view base) {
  const std::string_view kept = base.substr(0, kBaseBytes);
  std::string prefix;
  prefix.reserve(kept.size() + 2);
  prefix += '.';
  prefix += kept;
  prefix += '.';
  return prefix;
}

// A name for the temporary file beside `base` that no other save uses.
std::string temporary_name(const std::string& folder, const std::string& base) {
  static std::atomic<std::uint64_t> counter{0};
  const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, "%d.%llx.%llx.tmp", static_cast<int>(::getpid()),
                static_cast<unsigned long long>(counter.fetch_add(1)),
                static_cast<unsigned long long>(now & 0xFFFFFF));
  return folder + "/" + name_prefix(base) + suffix;
}

bool same_file(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int try_lock(int fd) noexcept {
  int result = 0;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

// Locks the file just created at `path`; false when a clean-up got to it
// first, which removes the name before it lets go of the lock.
bool lock_new_file(int fd, const std::string& path) {
  const int failed = try_lock(fd);
  if (failed == EWOULDBLOCK) {
    ::unlink(path.c_str());  // a clean-up holds it and is about to remove it
    return false;
  }
  // Without locks on this file system no clean-up removes anything there.
  if (failed != 0) return true;
  struct stat opened{}, named{};
  return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && same_file(opened, named);
}

// The names in the folder open as `dir` of temporary files of `base` that
// another process made.
std::vector<std::string> foreign_temporaries(int dir, const std::string& base) {
  std::vector<std::string> names;
  const int listed = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);  // closedir() closes it
  if (listed < 0) return names;
  DIR* listing = ::fdopendir(listed);
  if (listing == nullptr) {
    ::close(listed);
    return names;
  }
  const long self = static_cast<long>(::getpid());
  while (const dirent* entry = ::readdir(listing)) {
    const auto owner = temporary_owner(entry->d_name, base);
    if (owner && *owner != self) names.emplace_back(entry->d_name);
  }
  ::closedir(listing);
  return names;
}

// Removes `name` in `dir` when it is a regular file no one holds locked.
void remove_if_stale(int dir, const std::string& name) {
  // Not following links and not blocking: whatever sits under the name,
  // nothing here reaches outside the folder or waits.
  Descriptor file(::openat(dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) return;
  struct stat opened{}, named{};
  if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return;
  if (try_lock(file.get()) != 0) return;  // a live save holds it
  // Removed while still locked, and only if the name is still this file.
  if (::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(opened, named))
    ::unlinkat(dir, name.c_str(), 0);
}

}  // namespace

std::optional<long> temporary_owner(std::string_view name, std::string_view base) {
  const std::string prefix = name_prefix(base);
  if (!name.starts_with(prefix) || !name.ends_with(".tmp")) return std::nullopt;
  std::string_view rest = name.substr(prefix.size(), name.size() - prefix.size() - 4);
  // Three fields: the process id in decimal, then the counter and the clock in hex.
  long pid = 0;
  for (int field = 0; field < 3; ++field) {
    const std::size_t dot = rest.find('.');
    const std::string_view digits = rest.substr(0, dot);
    const bool last = field == 2;  // the only one with no dot after it
    if (digits.empty() || last != (dot == std::string_view::npos)) return std::nullopt;
    for (const char c : digits) {
      const bool digit = c >= '0' && c <= '9';
      if (!(digit || (field > 0 && c >= 'a' && c <= 'f'))) return std::nullopt;
      if (field == 0) {
        if (pid > 99'999'999) return std::nullopt;
        pid = pid * 10 + (c - '0');
      }
    }
    rest = dot == std::string_view::npos ? std::string_view{} : rest.substr(dot + 1);
  }
  return pid;
}

std::expected<TemporaryFile, FileError> create_temporary(const std::string& folder, const std::string& base) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = temporary_name(folder, base);
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.get() < 0) {
      if (errno == EEXIST) continue;
      return std::unexpected(FileError{errno, kCreating});
    }
    if (!lock_new_file(file.get(), path)) continue;
    Descriptor lock(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
    if (lock.get() < 0) {
      const int code = errno;
      ::unlink(path.c_str());
      return std::unexpected(FileError{code, kCreating});
    }
    return TemporaryFile{std::move(path), std::move(file), std::move(lock)};
  }
  return std::unexpected(FileError{EEXIST, kCreating});
}

void remove_stale_temporaries(const std::string& folder, const std::string& base) {
  Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return;
  for (const std::string& name : foreign_temporaries(dir.get(), base)) remove_if_stale(dir.get(), name);
}

}  // namespace hobrin::ann
