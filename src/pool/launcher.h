// The launcher: the one way this process starts a child.
//
// The program name is looked up through PATH (one search, find_program's)
// and each argument is passed as one word: no shell is involved. Every
// descriptor made here is close-on-exec from birth, so a child inherits only
// the three descriptors it is handed as 0, 1 and 2. Children come back held
// through pidfds (child_process.h).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/expected.h"
#include "common/unique_fd.h"
#include "pool/cgroup_io.h"
#include "pool/child_confinement.h"
#include "pool/child_process.h"

namespace ferrowick {

// What a session's child gets besides its argument list: a chosen
// environment, resource limits and its account's confinement, all set up
// before `su` starts so that they hold for the tenant's whole session.
struct SpawnOptions {
  // The child's whole environment as "NAME=value" texts, or nothing to pass
  // on this process's own.
  std::optional<std::vector<std::string>> env;
  // (resource, value) pairs, each set as both soft and hard limit.
  std::vector<std::pair<int, rlim_t>> limits;
  // Limits for the session's whole tree, set on its control group.
  CgroupLimits group;
  // Descriptors of cgroup.procs files, open for writing: the child writes
  // "0" to each before anything else, so it and all it starts are inside.
  std::vector<int> cgroup_procs;
  // Entered by the child before its program starts (child_confinement.h);
  // must outlive the launch.
  const ChildConfinement* confinement = nullptr;
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

// The paths to try for `program`, in search order: itself when it names a
// path, else each entry of this process's PATH (an empty one meaning the
// working directory; "/bin:/usr/bin" without PATH).
std::vector<std::string> program_candidates(const std::string& program);

// The program `name` names: the first of program_candidates(name) that is
// executable. Returns 0 with `path` set, ENOENT when there is none, EACCES
// when only files without execute permission were found.
int find_program(const std::string& name, std::string& path);

// A pipe whose both ends are close-on-exec and numbered 3 or above, so that
// placing the child's end on 0, 1 or 2 can never clobber another end.
// Returns 0 or an errno.
int make_pipe(UniqueFd& read_end, UniqueFd& write_end);

// A child that started: its pid and pidfd (invalid on kernels without pidfds).
struct LaunchedChild {
  pid_t pid;
  UniqueFd pidfd;
};

// Forks and execs argv with the given standard descriptors (in == -1:
// /dev/null). The child inherits environment and working directory, gets an
// empty signal mask and the default SIGPIPE action, and no other descriptor
// of this process. It waits until the parent holds its pidfd, so it cannot
// exit and be reaped by a foreign waitpid(-1) before that. Fails with an
// errno (that of the exec when the program cannot be run; a child that did
// not start is reaped; a failed confinement step gives its errno). With
// `options`, the child gets their environment, limits and confinement.
Expected<LaunchedChild, int> launch_child(const std::vector<std::string>& argv, int in, int out, int err,
                                          const SpawnOptions* options = nullptr);

// Starts argv[0] as launch_child does, with its standard input, output and
// error on three new pipes whose host ends the ChildProcess holds.
Expected<ChildProcess, int> spawn_with_pipes(const std::vector<std::string>& argv,
                                             const SpawnOptions* options = nullptr);

}  // namespace ferrowick
