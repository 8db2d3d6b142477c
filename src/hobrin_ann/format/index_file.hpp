#pragma once
// The index file, laid out in docs/index-format.md: a preamble, then sections
// of parameters, vectors, ids, levels, links, metadata and removals, each with
// its length and a CRC-32C. The writer streams a core into a ByteSink; the
// reader rebuilds a core from a ByteSource and checks all it reads, so that
// no file, however damaged, makes it read out of bounds, build an index that
// would, or allocate more than the file's own size accounts for.
//
// Beside this header: layout.hpp (the fixed facts of the format),
// section_writer / section_reader / cursor (a section's framing: tag, length,
// CRC-32C), checks (what the reader checks values with), header_reader.cpp,
// index_writer.cpp and index_reader.cpp (the whole file, section by section),
// sections/ (one writer and one reader per section) and byte_source.cpp.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/core/options.hpp"

namespace hobrin::ann {

// The file is not a sound index file; the message says what is wrong.
class CorruptIndex : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(const void* data, std::size_t size) = 0;
};

// A sink that keeps everything in memory.
class StringSink final : public ByteSink {
 public:
  void write(const void* data, std::size_t size) override {
    bytes.append(static_cast<const char*>(data), size);
  }
  std::string bytes;
};

// Memory for what a source hands out: 64-byte aligned, grown on demand.
class ReadBuffer {
 public:
  // At least `size` bytes; the contents are not kept. Throws std::bad_alloc.
  std::byte* room(std::size_t size);

 private:
  struct Free {
    void operator()(std::byte* p) const noexcept { ::operator delete[](p, std::align_val_t{64}); }
  };
  std::unique_ptr<std::byte[], Free> data_;
  std::size_t capacity_ = 0;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Bytes in the whole file.
  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t remaining() const noexcept { return size_ - position_; }
  // The next `count` bytes, at most remaining(), in 64-byte aligned memory
  // that stays valid until the next call.
  std::span<const std::byte> take(std::size_t count);
  // Copies the next `count` bytes, at most remaining(), to `out`; what take()
  // handed out stays valid.
  void take_into(std::byte* out, std::size_t count);

  // Where a source over a mapped file lets its bytes be used in place: the
  // next `count` bytes (at most remaining()) where they lie, valid as long as
  // mapping() is held, and the position moves past them. Null, and nothing
  // moves, for a source that is not mapped.
  const std::byte* take_in_place(std::size_t count);
  // What keeps the bytes take_in_place() hands out valid; null when unmapped.
  virtual std::shared_ptr<const MappedFile> mapping() const { return nullptr; }

  // The format version of the file, once its preamble is read; it decides
  // how sections are framed.
  std::uint32_t version() const noexcept { return version_; }
  void set_version(std::uint32_t version) noexcept { version_ = version; }

 protected:
  explicit ByteSource(std::uint64_t size) : size_(size) {}
  // Copies the `count` bytes at `position` to `out`.
  virtual void read_at(std::uint64_t position, std::byte* out, std::size_t count) = 0;
  // The `count` bytes at `position` where they lie, or null.
  virtual const std::byte* in_place(std::uint64_t, std::size_t) const { return nullptr; }

 private:
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  std::uint32_t version_ = 0;
  ReadBuffer buffer_;
};

// A source over bytes in memory, which must outlive it.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::byte> bytes) : ByteSource(bytes.size()), bytes_(bytes) {}

 private:
  void read_at(std::uint64_t position, std::byte* out, std::size_t count) override;
  std::span<const std::byte> bytes_;
};

// What a file holds besides the core.
struct IndexState {
  std::uint64_t level_seed = 0;  // the level generator's seed; it has drawn one value per node
  std::uint64_t next_id = 0;     // one above the largest id ever added (at most 2^63)
  std::uint64_t ef_search = 1;   // the default candidate list length of a search
};

// The preamble and the parameters: all that is needed to create the core.
struct FileHeader {
  IndexOptions options;
  IndexState state;
  std::uint64_t nodes = 0;
  std::uint64_t removed = 0;
  std::uint64_t upper_lists = 0;  // over all nodes: the sum of their levels
  std::uint32_t entry_point = kNoNode;
  int top_level = -1;
  std::vector<std::uint32_t> dim_order;
};

// Both throw CorruptIndex for anything unsound and std::bad_alloc only when
// the machine has less memory than the file's contents need.
FileHeader read_header(ByteSource& source);
// Fills a core created with header.options, and empty, from the sections that
// follow the header, to the end of the file.
template <class Store>
void read_body(ByteSource& source, const FileHeader& header, IndexCore<Store>& core,
               const LoadOptions& options = {});

template <class Store>
void write_index(const IndexCore<Store>& core, const IndexState& state, ByteSink& sink);

}  // namespace hobrin::ann
