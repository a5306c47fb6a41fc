#include "common/system_error.h"

#include <cstring>

namespace ferrowick {

std::string system_error_text(int err) {
  std::string s = std::strerror(err);
  s += " (os error ";
  s += std::to_string(err);
  s += ')';
  return s;
}

}  // namespace ferrowick
