#include "common/fault.hpp"

#include <cstdio>

namespace hobrin {

InternalFault::InternalFault(const std::string& message, std::source_location where)
    : std::runtime_error(message) {
  std::fprintf(stderr, "hobrin: internal fault at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), message.c_str());
}

InternalFault::InternalFault(Resumed, const std::string& message) : std::runtime_error(message) {}

}  // namespace hobrin
