#include "pool/spawn_options.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace ferrowick {

int find_program(const std::string& name, std::string& path) {
  if (name.empty()) return ENOENT;
  if (name.find('/') != std::string::npos) {
    path = name;
    return 0;
  }
  const char* env_path = std::getenv("PATH");
  std::string_view rest = env_path ? env_path : "/usr/local/bin:/usr/bin:/bin";
  int err = ENOENT;
  for (;;) {
    std::string_view dir = rest.substr(0, rest.find(':'));
    std::string candidate = dir.empty() ? "." : std::string(dir);
    candidate += '/';
    candidate += name;
    if (::access(candidate.c_str(), X_OK) == 0) {
      path = std::move(candidate);
      return 0;
    }
    if (errno == EACCES) err = EACCES;
    if (dir.size() >= rest.size()) return err;
    rest.remove_prefix(dir.size() + 1);
  }
}

}  // namespace ferrowick
