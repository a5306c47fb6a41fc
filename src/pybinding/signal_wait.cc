#include "pybinding/signal_wait.h"

#include <unistd.h>

namespace ferrowick::py {

bool on_main_thread() {
  // The interpreter runs (and finalises) on the process's first thread,
  // whose thread id is the process id; asking needs no interpreter state.
  return ::gettid() == ::getpid();
}

}  // namespace ferrowick::py
