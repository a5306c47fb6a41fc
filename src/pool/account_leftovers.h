// What a tenant leaves on the host outside its home, removed before the
// account is handed to the next tenant.
//
// Files: every entry owned by the account below the host's world-writable
// directories (writable_places.h: /tmp, /var/tmp, /dev/shm, /run/lock, ...),
// walked as tree_sweep.h describes, entering every directory there, pass
// after pass until one finds nothing of the account and nothing moved (at
// most six). The home root is never entered: homes are prepared on their
// own (home_dir.h). Entries of
// other owners are never touched; a directory of the account that still
// holds them stays.
// Kernel objects (kernel_leftovers.h): System V IPC objects, POSIX message
// queues and keyrings of the account. Scheduled jobs: the account's crontab
// and `at` jobs, where those tools are installed.
//
// The account's processes must be gone first, so that nothing of it moves
// entries during the walk.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ferrowick {

// Removes the leftovers of account `username` (uid `uid`, never 0). Returns
// one text per problem met (empty when everything went, and the last pass
// over the files found nothing of the account); never stops early.
std::vector<std::string> remove_account_leftovers(std::uint32_t uid, std::string_view username);

// The same for the files only, below `places` instead of the host's shared
// places, skipping the directory `home_root` when it lies there.
std::vector<std::string> remove_files_of(std::uint32_t uid, const std::vector<std::string>& places,
                                         std::string_view home_root);

}  // namespace ferrowick
