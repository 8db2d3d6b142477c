#pragma once
// The scalable graph index behind hobrin_ann.Index: a layered proximity
// graph with degree-bounded links, external 64-bit ids, metadata rows and
// filters, parallel insertion and batch search.
//
// Every method is safe to call from several threads at once. Searches and
// reads share the index, also with an addition while it links its batch;
// they see a batch only once it is published, whole (see add). One addition
// or removal runs at a time. No method calls back into its caller, so a
// caller may drop its own locks (the interpreter's) around any of them.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "hobrin_ann/core/options.hpp"
#include "hobrin_ann/core/search_request.hpp"
#include "hobrin_ann/filters/filter_query.hpp"

namespace hobrin::ann {

struct AddError {
  // IdsExhausted: default ids would pass the largest 64-bit integer.
  // IdRepeated: an id given twice in one batch.
  enum class Kind { IdPresent, IdRepeated, NegativeId, TooManyVectors, IdsExhausted } kind;
  std::int64_t id = 0;  // the offending id (IdPresent, IdRepeated, NegativeId), the largest (IdsExhausted)
};

class ByteSink;
class ByteSource;

class GraphIndex {
 public:
  // Throws std::invalid_argument, with options_problem()'s message, for
  // options that are not sound (options.hpp).
  static std::unique_ptr<GraphIndex> create(const IndexOptions& options);
  virtual ~GraphIndex() = default;

  virtual const IndexOptions& options() const noexcept = 0;

  // Adds `count` rows of dim values of the element type. `ids` gives an id
  // per row, or is null for the next free ids; the ids used go to `ids_out`.
  // `metadata` has a row per vector or is empty. Either every row is added or
  // none is (an error, or a thrown std::bad_alloc, leaves the index as it
  // was). `progress`, if given, counts the rows linked so far. Searches run
  // beside it but return none of the new vectors (nor do contains and get
  // find them) until all are linked and the batch is published, at once,
  // just before add returns. Waits for a running add or remove to finish.
  virtual std::expected<void, AddError> add(const void* rows, std::size_t count, const std::int64_t* ids,
                                            std::int64_t* ids_out, std::span<const MetadataRow> metadata,
                                            std::size_t threads, std::atomic<std::size_t>* progress) = 0;

  // Replaces the vectors (and metadata) of those of `ids` that are present
  // and adds the others, as add does: all or nothing, ids given twice
  // refused. Searches see each id once throughout: the new vectors are
  // published at once, as their predecessors leave; those are then removed
  // as remove does (their in-neighbours relinked, their slots freed).
  virtual std::expected<void, AddError> upsert(const void* rows, std::size_t count, const std::int64_t* ids,
                                               std::span<const MetadataRow> metadata, std::size_t threads,
                                               std::atomic<std::size_t>* progress) = 0;
  // Gives the vectors of `ids` the metadata `rows` (one each). Returns the
  // position of the first id that is not in the index or repeats an earlier
  // one; then nothing changes. Throws std::bad_alloc, changing nothing.
  virtual std::optional<std::size_t> update_metadata(const std::int64_t* ids, std::size_t count,
                                                     std::span<const MetadataRow> rows) = 0;

  // Fills the request's results; refuses, changing nothing, a filter whose
  // conditions the schema cannot answer (refusal_of).
  virtual std::expected<void, FilterRefusal> search(const SearchRequest& request) const = 0;
  // Why search would refuse `query` as the index is now, if it would.
  virtual std::optional<FilterRefusal> check_filter(const FilterQuery& query) const = 0;

  // Vectors held, not counting removed ones.
  virtual std::size_t size() const noexcept = 0;
  virtual bool contains(std::int64_t id) const = 0;
  // contains() of each of `count` ids into `found`, under one lock.
  virtual void contains_many(const std::int64_t* ids, std::size_t count, bool* found) const = 0;
  // Copies the stored rows of `ids` to `out` (count x dim values); returns the
  // position of the first unknown id, if any (then `out` is incomplete).
  virtual std::optional<std::size_t> get(const std::int64_t* ids, std::size_t count, void* out) const = 0;
  // Bytes held by vectors, links and ids (metadata not counted).
  virtual std::size_t memory_bytes() const = 0;

  // Removes the vectors of `ids`: no search returns them again and their ids
  // are free for new vectors. The graph is then repaired on `threads`
  // threads, beside searches: lists that led to them are chosen again among
  // their neighbours, and their slots go on a free list that later adds
  // reuse. Returns the position of the first id that is not in the index
  // (unknown, already removed, or named earlier in `ids`); then nothing is
  // removed. Waits for a running add or remove to finish.
  virtual std::optional<std::size_t> remove(const std::int64_t* ids, std::size_t count,
                                            std::size_t threads = 0) = 0;

  // A new index with the same options, ids, metadata and id counter, built
  // from the vectors that are not removed. Does not wait for a running add:
  // it copies the vectors of the adds that have finished.
  virtual std::unique_ptr<GraphIndex> compact(std::size_t threads) const = 0;

  // Writes the index to `sink` in the file format of index_file.hpp, with the
  // caller's default search ef stored beside it. Waits for a running add or
  // remove to finish, so that a file never holds part of a batch.
  virtual void save(ByteSink& sink, std::uint64_t ef_search) const = 0;
  struct Loaded {
    std::unique_ptr<GraphIndex> index;
    std::uint64_t ef_search;
  };
  // Rebuilds an index that save() wrote; throws CorruptIndex (index_file.hpp)
  // when the bytes are not a sound index file. With options.map on a mapped
  // source, the index keeps the mapping and is read-only.
  static Loaded load(ByteSource& source, const LoadOptions& options = {});

  // Whether the index lies in a mapped file: add and remove must not be
  // called (the caller refuses them); compact() gives an index of its own.
  virtual bool read_only() const noexcept = 0;
  // For an index in a mapped file: what is wrong when the file changed in
  // place since it was loaded (MappedFile::changed), which every call that
  // reads it checks first; else nothing.
  virtual std::optional<std::string> mapping_changed() const = 0;
};

}  // namespace hobrin::ann
