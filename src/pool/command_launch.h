// Starting a program as a pool account, without su and without a terminal,
// through the launcher (launcher.h).
//
// The host is root, so the child switches ids itself: it leads a new
// session (no controlling terminal, a process group of its own) as a child
// subreaper, takes the resource limits, then the account's supplementary
// groups, gid and uid, and only then changes into its working directory
// with the account's rights. Its environment is a clean one unless given,
// and the program is looked up on that environment's PATH. Before any of
// that it joins the command's control groups (session_group.h), so nothing
// of the command ever runs outside them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/expected.h"
#include "common/unique_fd.h"
#include "pool/cgroup_io.h"
#include "pool/child_process.h"
#include "pool/launcher.h"

namespace ferrowick {

// Who a command runs as and where it starts by default.
struct AccountIdentity {
  std::string username;
  std::string home;
  AccountSwitch ids;  // the supplementary groups include the primary one
};

// The account's primary gid and groups as the host's account database has
// them (getpwuid_r, getgrouplist), remembered per uid while /etc/passwd and
// /etc/group stay unchanged. Fails with an errno (ENOENT: no such account).
Expected<AccountIdentity, int> account_identity(std::uint32_t uid, const std::string& home);

// What to run and how; everything but argv is optional.
struct CommandSpec {
  // argv[0] is looked up on the PATH of the command's environment unless it
  // holds a "/".
  std::vector<std::string> argv;
  std::optional<std::string> cwd;               // none: the account's home
  std::optional<std::vector<std::string>> env;  // "NAME=value"; none: clean_environment
  std::vector<std::pair<int, rlim_t>> limits;   // each as soft and hard limit
  CgroupLimits group;                           // for the whole tree, on its control groups
};

// The PATH of the clean environment, also used when a given one has none.
inline constexpr const char* kDefaultCommandPath = "/usr/local/bin:/usr/bin:/bin";

// The environment a command gets when none is given: HOME, USER, LOGNAME,
// SHELL=/bin/bash, PATH=kDefaultCommandPath, LANG=C.UTF-8. Never anything
// of this process's own.
std::vector<std::string> clean_environment(const AccountIdentity& who);

// A started command: the child with the read ends of its standard output
// and error, and apart from it the write end of its standard input (or an
// invalid descriptor), which its owner may close on its own.
struct LaunchedCommand {
  ChildProcess child;
  UniqueFd stdin_fd;
};

// Starts `spec` as `who` with standard output and error on new pipes and
// standard input on a new pipe (with_stdin) or /dev/null, the child first
// joining the groups whose cgroup.procs descriptors `cgroup_procs` holds
// (born in the v2 one where it can: SpawnOptions::cgroup_v2_dir) and, as root, entering `confinement` (the account's, as its sessions do;
// null for none).
// The host ends of the pipes are non-blocking (so that several waiting
// threads never block in a read or write another one served) and
// close-on-exec.
Expected<LaunchedCommand, LaunchError> launch_command(const AccountIdentity& who, const CommandSpec& spec,
                                                      bool with_stdin, std::span<const int> cgroup_procs,
                                                      const ChildConfinement* confinement, int cgroup_v2_dir = -1,
                                                      int cgroup_v2_procs = -1);

}  // namespace ferrowick
