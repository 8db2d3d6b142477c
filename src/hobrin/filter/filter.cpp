#include "hobrin/filter/filter.hpp"

#include <utility>

namespace hobrin {

Filter Filter::equal_to(std::string attribute, Metadata value) {
  auto predicate = std::make_shared<const std::function<bool(const Metadata&)>>(
      [wanted = std::move(value)](const Metadata& stored) { return stored == wanted; });
  return Filter{std::move(attribute), std::move(predicate)};
}

}  // namespace hobrin
