#include "hobrin_ann/format/cursor.hpp"

#include "hobrin_ann/format/checks.hpp"

namespace hobrin::ann::format {

std::string_view Cursor::text(std::size_t size) {
  need(size);
  const std::string_view view(reinterpret_cast<const char*>(bytes_.data() + at_), size);
  at_ += size;
  return view;
}

void Cursor::ends_early() const { corrupt(what_ + " ends in the middle of a value"); }

void Cursor::expect_end() const {
  if (left() != 0) corrupt(what_ + " has " + std::to_string(left()) + " bytes after its last value");
}

}  // namespace hobrin::ann::format
