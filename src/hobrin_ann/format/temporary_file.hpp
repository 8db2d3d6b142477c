#pragma once
// The temporary file a save writes beside its target, and the removal of
// those that saves killed part way left behind.
//
// A save's temporary file is named ".<target>.<pid>.<counter>.<clock>.tmp"
// (the target's name cut to 180 bytes, the counter and clock in hex), and the
// save holds an exclusive flock on it from before it writes anything until
// the file is renamed over the target or removed. The kernel drops the lock
// of a process that dies, so a file of that pattern that can be locked
// belongs to no live save.
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "hobrin_ann/format/descriptor.hpp"
#include "hobrin_ann/format/file_io.hpp"

namespace hobrin::ann {

struct TemporaryFile {
  std::string path;
  Descriptor file;  // open for writing
  Descriptor lock;  // the same open file: keeps the lock held once `file` is closed
};

// A new, empty temporary file for the target `base` in `folder`, locked. A
// clean-up that removed it before it was locked is noticed, and another name
// is taken.
std::expected<TemporaryFile, FileError> create_temporary(const std::string& folder, const std::string& base);

// Removes the temporary files of the target `base` in `folder` that no live
// save holds, except those named with this process's id. Best effort: what
// cannot be listed, opened, locked or removed stays.
void remove_stale_temporaries(const std::string& folder, const std::string& base);

// The process id in `name` when it is that of a temporary file of the target
// `base`, else nothing.
std::optional<long> temporary_owner(std::string_view name, std::string_view base);

}  // namespace hobrin::ann
