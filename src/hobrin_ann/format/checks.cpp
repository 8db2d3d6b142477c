#include "hobrin_ann/format/checks.hpp"

#include <algorithm>
#include <cmath>

#include "hobrin_ann/format/index_file.hpp"
#include "hobrin_ann/graph/graph.hpp"

namespace hobrin::ann::format {

void corrupt(const std::string& what) { throw CorruptIndex(what); }

std::uint64_t checked_product(std::uint64_t a, std::uint64_t b, const std::string& what) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) corrupt(what + ": its size overflows");
  return product;
}

bool valid_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  while (i < text.size()) {
    const unsigned char c = byte(i);
    std::size_t extra = 0;
    std::uint32_t code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, code = c & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

void check_list(std::span<const std::uint32_t> slots, std::uint64_t nodes, std::uint64_t node, int level) {
  bool ended = false;
  for (const std::uint32_t target : slots) {
    if (target != kNoNode && target >= nodes) {
      corrupt("node " + std::to_string(node) + " links on layer " + std::to_string(level) + " to node " +
              std::to_string(target) + ", which does not exist");
    }
    if (target == kNoNode) {
      ended = true;
    } else if (ended) {
      corrupt("the layer-" + std::to_string(level) + " list of node " + std::to_string(node) +
              " has a link after an empty slot");
    }
  }
}

void check_lists(const std::uint32_t* slots, std::size_t lists, std::size_t width, std::uint64_t nodes,
                 std::uint64_t first, int level) {
  // Branch-free passes the compiler vectorises decide the usual, sound run
  // of lists: every slot is a node below `nodes` or kNoNode (kNoNode + 1
  // wraps to 0), and no empty slot comes before a link in its list.
  const auto limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(nodes, kNoNode));
  std::uint32_t wrong = 0;
  for (std::size_t i = 0; i < lists * width; ++i) wrong |= static_cast<std::uint32_t>(slots[i] + 1u > limit);
  for (std::size_t list = 0; list < lists; ++list) {
    const std::uint32_t* s = slots + list * width;
    for (std::size_t j = 0; j + 1 < width; ++j)
      wrong |= static_cast<std::uint32_t>(s[j] == kNoNode) & static_cast<std::uint32_t>(s[j + 1] != kNoNode);
  }
  if (wrong == 0) return;
  for (std::size_t list = 0; list < lists; ++list)
    check_list({slots + list * width, width}, nodes, first + list, level);
}

template <class T>
void check_finite_rows(const T* values, std::size_t count, std::size_t dim, std::uint64_t first) {
  if (all_finite(values, count * dim)) return;
  for (std::size_t i = 0; i < count * dim; ++i) {
    if (!std::isfinite(values[i]))
      corrupt("vector " + std::to_string(first + i / dim) + " holds a value that is not finite");
  }
}

template <class T>
void check_padded_rows(const T* values, std::size_t count, std::size_t dim, std::size_t stride,
                       std::uint64_t first) {
  for (std::size_t r = 0; r < count; ++r) {
    if (!all_finite(values + r * stride, dim))
      corrupt("vector " + std::to_string(first + r) + " holds a value that is not finite");
    const T* padding = values + r * stride + dim;
    for (std::size_t j = 0; j < stride - dim; ++j) {
      if (padding[j] != T{0} || std::signbit(padding[j]))
        corrupt("vector " + std::to_string(first + r) + " is not padded with zeros");
    }
  }
}

template void check_padded_rows<float>(const float*, std::size_t, std::size_t, std::size_t, std::uint64_t);
template void check_padded_rows<double>(const double*, std::size_t, std::size_t, std::size_t, std::uint64_t);
template void check_finite_rows<float>(const float*, std::size_t, std::size_t, std::uint64_t);
template void check_finite_rows<double>(const double*, std::size_t, std::size_t, std::uint64_t);

}  // namespace hobrin::ann::format
