#pragma once
// Index files on disk. Saving never damages what was there: the new file is
// written beside the target under a temporary name, synced, renamed over the
// target, and the folder is synced; on any failure the temporary file is
// removed and the target is untouched. A save first removes the temporary
// files of the same target that killed saves left (temporary_file.hpp).
// Loading reads the file in pieces straight into the structures being rebuilt.
#include <expected>
#include <functional>
#include <string>

#include "hobrin_ann/format/index_file.hpp"

namespace hobrin::ann {

struct FileError {
  int code = 0;            // the errno value
  std::string action;      // what failed: "writing", "renaming over the target", ...
  std::string detail = {};  // when set, what is wrong, in place of errno's own text
};

// Calls write(sink) with a sink into a new temporary file in the folder of
// `path`, then puts that file in the place of `path`. An exception thrown by
// `write` is rethrown once the temporary file is gone.
std::expected<void, FileError> save_file(const std::string& path,
                                         const std::function<void(ByteSink&)>& write);

// Calls read(source) with a source over the regular file at `path`; anything
// else (a folder: EISDIR; a pipe or a device: EINVAL, with a detail) is
// refused before it is read, and a pipe without a writer is never waited for.
// An exception thrown by `read` (CorruptIndex) is rethrown.
std::expected<void, FileError> read_file(const std::string& path,
                                         const std::function<void(ByteSource&)>& read);

// As read_file, but over the file mapped read-only and shared: the source
// can hand out bytes in place (ByteSource::take_in_place), and its mapping()
// keeps them valid after the call, even once the path names another file.
std::expected<void, FileError> map_file(const std::string& path,
                                        const std::function<void(ByteSource&)>& read);

}  // namespace hobrin::ann
