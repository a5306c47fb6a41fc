// The one text for an errno that every layer puts into its messages.
#pragma once

#include <string>

namespace ferrowick {

// The system's description of `err`, then " (os error ", err, ")".
// E.g. "Permission denied (os error 13)".
std::string system_error_text(int err);

}  // namespace ferrowick
