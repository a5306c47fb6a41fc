// Starting a session: the `su` command line, and the environment a chosen
// mapping turns into.
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>

#include "common/system_error.h"
#include "pool/terminal_session.h"

namespace ferrowick {

namespace {

// What a shell given an environment without PATH searches. Left alone,
// bash would put its own default in place, which ends in "." (the working
// directory); this is the search path the host gives its accounts.
constexpr const char* kDefaultPath = "PATH=/usr/local/bin:/usr/bin:/bin";

}  // namespace

std::string session_command(std::string_view home, bool exact_env) {
  std::string cmd = "export HOME=\"";
  cmd += home;
  cmd += "\"; cd \"";
  cmd += home;
  // cd leaves the directory it came from, this process's, in an exported
  // OLDPWD that the account's shell would inherit.
  cmd += exact_env ? "\"; unset OLDPWD; exec /bin/bash" : "\"; exec /bin/bash";
  return cmd;
}

std::vector<std::string> session_argv(std::string_view username, std::string_view home, bool exact_env) {
  return {"su", "-s", "/bin/bash", "-P", "-c", session_command(home, exact_env), std::string(username)};
}

Expected<std::unique_ptr<TerminalSession>, std::string> spawn_terminal(SharedUser user, const SpawnOptions* options) {
  const bool exact_env = options && options->env;
  std::vector<std::string> argv;
  // Held through the launch: a release meanwhile cannot close what the
  // child is about to enter.
  std::shared_ptr<const AccountNamespaces> confinement;
  {
    auto guard = user->lock();
    argv = session_argv(guard->username(), guard->home(), exact_env);
    confinement = guard->namespaces();
  }
  // Made first: a session whose close() could not wake its waiting calls
  // must not start at all.
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
  if (!wake.valid()) return Unexpected("Failed to create the terminal session: " + system_error_text(errno));
  // The tree's group exists before the child, which joins it before su runs.
  auto group = SessionGroup::create(session_cgroup_host(), options ? options->group : CgroupLimits{}, session_group_stock());
  if (!group) return Unexpected("Failed to create the terminal session: " + group.error().message);
  SpawnOptions joined = options ? *options : SpawnOptions{};
  joined.cgroup_procs = (*group)->join_fds();
  joined.cgroup_v2_dir = (*group)->v2_dir();
  joined.cgroup_v2_procs = (*group)->v2_procs();
  joined.confinement = confinement ? &confinement->child() : nullptr;
  if (exact_env && std::none_of(joined.env->begin(), joined.env->end(),
                                [](const std::string& e) { return e.starts_with("PATH="); })) {
    joined.env->push_back(kDefaultPath);
  }
  Expected<ChildProcess, int> child = spawn_with_pipes(argv, &joined);
  if (!child) {
    return Unexpected("Failed to create the terminal session: " + system_error_text(child.error()));
  }
  auto session = std::make_unique<TerminalSession>(std::move(user), std::move(*child), std::move(wake));
  session->attach_group(std::move(*group));
  return session;
}

}  // namespace ferrowick
