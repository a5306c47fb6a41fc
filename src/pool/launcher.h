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
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "common/expected.h"
#include "common/unique_fd.h"
#include "pool/cgroup_io.h"
#include "pool/child_confinement.h"
#include "pool/child_process.h"

namespace ferrowick {

// The ids a child switches to itself (the host is root): supplementary
// groups, then gid, then uid, each real, effective and saved.
struct AccountSwitch {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

// What a child gets besides its argument list. A session's `su` takes a
// chosen environment, resource limits, its groups and its account's
// confinement, so that they hold for the tenant's whole session; a command
// run as an account directly takes the rest as well.
struct SpawnOptions {
  // The child's whole environment as "NAME=value" texts, or nothing to pass
  // on this process's own.
  std::optional<std::vector<std::string>> env;
  // (resource, value) pairs, each set as both soft and hard limit (as root,
  // before any switch of ids, so they may lie above the host's own).
  std::vector<std::pair<int, rlim_t>> limits;
  // Limits for the session's whole tree, set on its control group.
  CgroupLimits group;
  // Descriptors of cgroup.procs files, open for writing: the child writes
  // "0" to each before anything else, so it and all it starts are inside.
  std::vector<int> cgroup_procs;
  // A v2 group's directory for the child to be born in (clone3's
  // CLONE_INTO_CGROUP), and that group's entry in cgroup_procs, which the
  // child then skips. Joining by a write takes a lock of the whole
  // hierarchy that can stall for a grace period of RCU; being born inside
  // does not. Where the kernel (or a filter of system calls) refuses
  // clone3, the child joins by the write.
  int cgroup_v2_dir = -1;
  int cgroup_v2_procs = -1;
  // Entered by the child before its program starts (child_confinement.h),
  // as root, before the switch of ids; must outlive the launch.
  const ChildConfinement* confinement = nullptr;
  // The ids to run as; none: this process's.
  std::optional<AccountSwitch> account;
  // The working directory, entered after the switch of ids, so a directory
  // the account may not enter, or a link it planted, is resolved with the
  // account's rights; none: this process's.
  std::optional<std::string> cwd;
  // Lead a new session (no controlling terminal, a process group of its
  // own) and be a child subreaper (what the tree orphans stays below it).
  bool new_session = false;
  // The PATH argv[0] is looked up on; none: this process's.
  std::optional<std::string> path;
};

// The step of the child's start that failed.
enum class LaunchStep : int {
  kSetup = 0,     // pipes or fork, in this process
  kStdio = 1,     // placing the standard descriptors
  kLimits = 2,    // setrlimit
  kIdentity = 3,  // setgroups, setresgid, setresuid
  kCwd = 4,       // chdir
  kExec = 5,      // execve of every candidate
  kGroup = 6,     // joining the control groups (cgroup_procs)
  kConfine = 7,   // entering the confinement
};

struct LaunchError {
  LaunchStep step = LaunchStep::kSetup;
  int err = 0;
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
// path, else each entry of `path` (an empty one meaning the working
// directory).
std::vector<std::string> program_candidates(const std::string& program, std::string_view path);
// The same on this process's PATH ("/bin:/usr/bin" without PATH).
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
// exit and be reaped by a foreign waitpid(-1) before that. Fails with the
// step and errno that kept the program from starting (a child that did not
// start is reaped; after a failed step the program is never run). With
// `options`, the child gets them, in this order: control groups, new
// session, standard descriptors, limits, confinement, ids, working
// directory, environment.
Expected<LaunchedChild, LaunchError> launch_child(const std::vector<std::string>& argv, int in, int out, int err,
                                                  const SpawnOptions* options = nullptr);

// Starts argv[0] as launch_child does, with its standard input, output and
// error on three new pipes whose host ends the ChildProcess holds.
Expected<ChildProcess, int> spawn_with_pipes(const std::vector<std::string>& argv,
                                             const SpawnOptions* options = nullptr);

}  // namespace ferrowick
