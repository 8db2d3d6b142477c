#include "hobrin/hnsw/hnsw_error.hpp"

namespace hobrin {

std::string_view to_string(HNSWError error) noexcept {
  switch (error) {
    case HNSWError::InvalidEF: return "InvalidEF";
    case HNSWError::InvalidLayer: return "InvalidLayer";
    case HNSWError::NoSchema: return "NoSchema";
    case HNSWError::EmptySchema: return "EmptySchema";
    case HNSWError::AttributeNotFound: return "AttributeNotFound";
    case HNSWError::EmptyVectors: return "EmptyVectors";
    case HNSWError::InvalidNodeID: return "InvalidNodeID";
  }
  return "UnknownHNSWError";
}

}  // namespace hobrin
