// What a pool account leaves in the kernel rather than in files, removed
// before the account is handed to its next tenant: System V IPC objects,
// POSIX message queues and the account's keyrings.
//
// POSIX message queues live in the IPC namespace, whether or not a queue
// file system is mounted anywhere: they are reached through a mount of one
// that is never attached to any mount namespace (fsopen and fsmount; the
// mount goes when its descriptor closes).
//
// Keyrings belong to the uid: the user keyring and the user-session keyring
// outlive every process of the account. They are emptied from a
// short-lived thread that takes the account's uid for that alone
// (only that thread's credentials change). The account's processes must be
// gone first: a thread running as the account could be signalled by them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ferrowick {

// Removes the System V shared memory segments, message queues and semaphore
// sets owned or created by `uid`, as listed in /proc/sysvipc. Returns one
// text per object that could not be removed.
std::vector<std::string> remove_ipc_of(std::uint32_t uid);

// Removes the POSIX message queues owned by `uid`. Returns one text per
// problem (the queue file system cannot be reached, a queue stays).
std::vector<std::string> remove_message_queues_of(std::uint32_t uid);

// True when /proc/key-users lists `uid`: some key or keyring of it exists.
bool has_keys(std::uint32_t uid);

// Empties the user and user-session keyrings of `uid` (never 0), whose keys
// then go unless linked elsewhere; the two empty keyrings stay. Does nothing
// when has_keys(uid) is false. Returns one text per problem.
std::vector<std::string> remove_keys_of(std::uint32_t uid);

}  // namespace ferrowick
