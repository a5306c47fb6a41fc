// Running a host tool (`useradd`, `id`, `pkill`, `userdel`, ...) to
// completion with its output captured.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/expected.h"

namespace ferrowick {

// What a finished host command left behind.
struct HostOutput {
  int wait_status = 0;  // as reported by waitpid
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error

  // The exit code, or nothing when the command was ended by a signal.
  std::optional<int> exit_code() const;
  bool success() const { return exit_code() == 0; }
};

// Runs argv[0] through the launcher (launcher.h) with standard input on
// /dev/null and both output streams captured in full, and waits for it to
// exit. Both pipes are drained together, so a command filling one of them
// cannot stall. Fails with the errno that kept the command from starting
// (e.g. ENOENT). While it waits, the thread's ambient wait check
// (fd_wait.h) runs every kCheckInterval; once it asks to stop, it is not
// called again, and the command is still let finish: host tools are short,
// and one cut off half way (`useradd`) could leave the host's account files
// locked.
Expected<HostOutput, int> run_host_command(const std::vector<std::string>& argv);

}  // namespace ferrowick
