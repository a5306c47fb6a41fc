// What a session's child gets besides its argument list: a chosen
// environment and resource limits, both set up before `su` starts so that
// they hold for the tenant's whole session.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ferrowick {

struct SpawnOptions {
  // The child's whole environment as "NAME=value" texts, or nothing to pass
  // on this process's own.
  std::optional<std::vector<std::string>> env;
  // (resource, value) pairs, each set as both soft and hard limit.
  std::vector<std::pair<int, rlim_t>> limits;
};

// A resource name callers may limit, and its RLIMIT_* number.
struct LimitName {
  const char* name;
  int resource;
};

// "nproc" (processes of the account), "as" (bytes of address space), "cpu"
// (seconds of CPU time), "fsize" (bytes per written file), "nofile" (open
// descriptors), each per process unless said otherwise.
inline constexpr LimitName kLimitNames[] = {
    {"nproc", RLIMIT_NPROC}, {"as", RLIMIT_AS}, {"cpu", RLIMIT_CPU},
    {"fsize", RLIMIT_FSIZE}, {"nofile", RLIMIT_NOFILE},
};

// The program `name` names: itself when it holds a "/", else the first
// executable of that name in this process's PATH. Returns 0 with `path`
// set, ENOENT when there is none, EACCES when only files without execute
// permission were found.
int find_program(const std::string& name, std::string& path);

}  // namespace ferrowick
