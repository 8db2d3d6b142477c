#pragma once
// One writer and one reader per section of the index file, in file order
// (docs/index-format.md). A writer puts its whole section; a reader takes its
// whole section, checks it against the parameters and the sections before
// it, and fills its part of the core. Each throws what index_file.hpp says.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/metadata.hpp"
#include "hobrin_ann/core/core.hpp"
#include "hobrin_ann/filters/value_index.hpp"
#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/graph/graph.hpp"

namespace hobrin::ann::format {

// PARM (parameters.cpp): the options, the state and the counts.
template <class Store>
void write_parameters(const IndexCore<Store>& core, const IndexState& state, ByteSink& sink);
FileHeader read_parameters(ByteSource& source);

// VECT (vectors.cpp): the rows. The only code here that touches the core's
// store of vectors.
template <class Store>
void write_vectors(const IndexCore<Store>& core, ByteSink& sink);
// Mapped (options.map on a mapped source, version 2): the store views the
// rows in place, and returns true; the caller keeps the mapping.
template <class Store>
bool read_vectors(ByteSource& source, const FileHeader& header, IndexCore<Store>& core,
                  const LoadOptions& options);

// CODE (code_rows.cpp, version 3 on): the codes of an index that has them,
// empty for one that has not. Mapped as the rows are; returns true then.
template <class Store>
void write_codes(const IndexCore<Store>& core, ByteSink& sink);
template <class Store>
bool read_codes(ByteSource& source, const FileHeader& header, IndexCore<Store>& core,
                const LoadOptions& options);

// CSCL (code_scalars.cpp, version 4 on): how int8/int4 codes are scaled,
// and the per-row scalars of codes scaled per row; empty for an index without
// codes. Before version 4 a coded store is set to its shared scale. Mapped
// as the rows are; returns true then.
template <class Store>
void write_code_scalars(const IndexCore<Store>& core, ByteSink& sink);
template <class Store>
bool read_code_scalars(ByteSource& source, const FileHeader& header, IndexCore<Store>& core,
                       const LoadOptions& options);

// LABL (ids.cpp): each node's id.
void write_ids(std::span<const std::int64_t> ids, ByteSink& sink);
void read_ids(ByteSource& source, const FileHeader& header, std::vector<std::int64_t>& ids);

// LEVL (levels.cpp): each node's level; the reader returns them once they
// agree with the header.
void write_levels(const LinkGraph& graph, ByteSink& sink);
std::vector<std::uint8_t> read_levels(ByteSource& source, const FileHeader& header);

// LNK0 and LNKU (links.cpp): the lists, read into a graph laid out for `levels`.
void write_links(const LinkGraph& graph, ByteSink& sink);
// With `map` on a mapped source, the layer-0 lists are checked and used in
// place, and it returns true.
bool read_links(ByteSource& source, const FileHeader& header, std::span<const std::uint8_t> levels,
                LinkGraph& graph, bool map);

// META (metadata.cpp): the metadata rows, empty without a schema.
void write_metadata(const MetadataStore& metadata, const std::optional<Schema>& schema, std::size_t nodes,
                    ByteSink& sink);
void read_metadata(ByteSource& source, const FileHeader& header, MetadataStore& metadata, ValueIndex& values);

// REMV (removals.cpp): the removed nodes in ascending order, from and to one
// flag per node (`removed` may be shorter than the node count: the rest are
// not removed; the reader makes it empty when none is).
void write_removals(std::span<const std::uint8_t> removed, std::size_t removed_count, std::size_t nodes,
                    ByteSink& sink);
void read_removals(ByteSource& source, const FileHeader& header, std::vector<std::uint8_t>& removed);

// IDMP (id_table.cpp, version 2 only): the table from ids to nodes, checked
// against the ids and removals read before it. With `map` on a mapped
// source it is used in place, and it returns true.
void write_id_table(const LabelMap& ids, ByteSink& sink);
template <class Store>
bool read_id_table(ByteSource& source, const FileHeader& header, IndexCore<Store>& core, bool map);

}  // namespace hobrin::ann::format
