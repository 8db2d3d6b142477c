#pragma once
// An internal fault: a broken invariant that no caller input should be able to
// cause. Cores throw it; the entry wrappers of the binding layer turn it into the
// module's FaultException. The report goes to standard error where it is raised.
#include <source_location>
#include <stdexcept>
#include <string>

namespace hobrin {

class InternalFault : public std::runtime_error {
 public:
  explicit InternalFault(const std::string& message,
                         std::source_location where = std::source_location::current());

  // A fault resumed from a FaultException fetched back from Python: its banner
  // has already been written, so no second report is printed.
  struct Resumed {};
  InternalFault(Resumed, const std::string& message);
};

// Throws InternalFault when `condition` is false.
inline void check_invariant(bool condition, const char* message,
                            std::source_location where = std::source_location::current()) {
  if (!condition) throw InternalFault(message, where);
}

}  // namespace hobrin
