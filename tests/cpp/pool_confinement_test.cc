// Confined pools: what a tenant can no longer reach, checked against an
// unconfined session of the same host so that each check can fail.
// Needs root, `su`, `useradd`, `pkill`, and python3 for the socket checks.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "pool/account_namespaces.h"
#include "pool/terminal_session.h"
#include "pool_test_support.h"

namespace ferrowick {
namespace {

std::string slurp(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path).rdbuf();
  return out.str();
}

// A listening socket of this process on `port`, accepting and closing
// every connection until it goes, so that no backlog ever fills up.
struct Listener {
  UniqueFd fd;
  int port = 0;
  std::thread acceptor;
  ~Listener() {
    if (!acceptor.joinable()) return;
    ::shutdown(fd.get(), SHUT_RDWR);
    acceptor.join();
  }
  void start() {
    acceptor = std::thread([this] {
      for (int c; (c = ::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) ::close(c);
    });
  }
};

void listen_tcp(const char* address, Listener& l) {
  l.fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &sa.sin_addr);
  socklen_t len = sizeof sa;
  if (::bind(l.fd.get(), reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(l.fd.get(), 128) != 0 ||
      ::getsockname(l.fd.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return;
  l.port = ntohs(sa.sin_port);
  l.start();
}

// The host's first IPv4 address that is not loopback, or "".
std::string host_address() {
  ifaddrs* all = nullptr;
  if (::getifaddrs(&all) != 0) return "";
  std::string found;
  for (ifaddrs* a = all; a && found.empty(); a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || std::string_view(a->ifa_name) == "lo") continue;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
    found = text;
  }
  ::freeifaddrs(all);
  return found;
}

// How many of 100 connections to address:port a tenant's shell makes.
std::string hundred_connects(const std::string& address, int port) {
  return "n=0; for i in $(seq 100); do (exec 3<>/dev/tcp/" + address + "/" + std::to_string(port) +
         ") 2>/dev/null && n=$((n+1)); done; echo connected=$n";
}

class ConfinementTest : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_WITHOUT_HOST_SUPPORT(); }

  // A session of a fresh account of `pool`, kept until the test ends.
  TerminalSession& session(const SharedUser& user) {
    auto s = spawn_terminal(user);
    EXPECT_TRUE(s.has_value()) << s.error();
    sessions_.push_back(std::move(*s));
    return *sessions_.back();
  }
  SharedUser account(const SharedPool& pool) {
    auto u = alloc_user(pool);
    EXPECT_TRUE(u.has_value()) << u.error();
    return u ? *u : nullptr;
  }
  static std::string run(TerminalSession& s, const std::string& command) {
    auto r = s.run(command, WaitLimits{deadline_after(60), {}});
    return r ? r->output : "failed: " + r.error().message;
  }

  SharedPool open_ = make_user_pool(2);
  std::vector<std::unique_ptr<TerminalSession>> sessions_;
};

TEST_F(ConfinementTest, NetworkOffReachesNothingOfTheHostButItsOwnLoopback) {
  SharedPool pool = make_user_pool(2, Confinement{.network = false});
  SharedUser a = account(pool), b = account(pool), host = account(open_);
  ASSERT_TRUE(a && b && host);
  TerminalSession &a1 = session(a), &a2 = session(a), &b1 = session(b), &h = session(host);
  Listener local, outer;
  listen_tcp("127.0.0.1", local);
  ASSERT_GT(local.port, 0);
  std::vector<std::pair<std::string, int>> targets = {{"127.0.0.1", local.port}};
  const std::string address = host_address();
  if (!address.empty()) listen_tcp(address.c_str(), outer);
  if (outer.port > 0) targets.emplace_back(address, outer.port);
  for (const auto& [addr, port] : targets) {
    EXPECT_NE(run(a1, hundred_connects(addr, port)).find("connected=0"), std::string::npos) << addr;
    EXPECT_NE(run(h, hundred_connects(addr, port)).find("connected=100"), std::string::npos) << addr;
  }

  // An abstract Unix socket belongs to the network namespace it was bound in.
  UniqueFd abstract(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  const std::string name = "ferrowick-confine-" + std::to_string(::getpid());
  std::memcpy(sun.sun_path + 1, name.data(), name.size());
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  ASSERT_EQ(::bind(abstract.get(), reinterpret_cast<sockaddr*>(&sun), len), 0);
  ASSERT_EQ(::listen(abstract.get(), 8), 0);
  const std::string unix_connect = "python3 -c \"import socket; s=socket.socket(socket.AF_UNIX); "
                                   "print('reached', s.connect_ex('\\0" + name + "'))\"";
  EXPECT_NE(run(a1, unix_connect).find("reached 111"), std::string::npos);  // ECONNREFUSED
  EXPECT_NE(run(h, unix_connect).find("reached 0"), std::string::npos);

  // The tenant's own server: reachable from its second session only.
  const int port = 20000 + ::getpid() % 20000;
  run(a1, "python3 -c \"import socket; s=socket.socket(); s.bind(('127.0.0.1', " + std::to_string(port) +
              ")); s.listen(); [s.accept()[0].sendall(b'pong') for _ in range(100)]\" & sleep 0.5");
  const std::string fetch = "(exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port) + " && echo got-$(head -c4 <&3))";
  EXPECT_NE(run(a2, fetch).find("got-pong"), std::string::npos);
  EXPECT_EQ(run(b1, fetch).find("got-pong"), std::string::npos);
  EXPECT_EQ(run(h, fetch).find("got-pong"), std::string::npos);
}

TEST_F(ConfinementTest, PrivateTmpIsTheAccountsUntilRelease) {
  SharedPool pool = make_user_pool(2, Confinement{.private_tmp = true});
  SharedUser a = account(pool), b = account(pool);
  ASSERT_TRUE(a && b);
  const std::string name = a->lock()->username(), home = a->lock()->home();
  const std::string mounts = slurp("/proc/self/mountinfo");
  const std::string file = "ferrowick-confine-" + std::to_string(::getpid());
  for (const char* place : kPrivatePlaces) {
    const std::string path = std::string(place) + "/" + file;
    SCOPED_TRACE(path);
    run(session(a), "echo secret > " + path);
    EXPECT_NE(run(session(a), "echo \"[$(cat " + path + ")] pwd=$PWD\"").find("[secret] pwd=" + home),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(run(session(b), "cat " + path + " 2>&1").find("secret"), std::string::npos);
  }
  EXPECT_EQ(slurp("/proc/self/mountinfo"), mounts);  // every mount stayed in the sessions' namespaces
  // Released while its sessions still hold it: the places go all the same.
  ASSERT_TRUE(release_user(*a));
  for (const char* place : kPrivatePlaces) {
    EXPECT_FALSE(std::filesystem::exists(std::string(place) + "/" + kPrivateDirName + "/" + name)) << place;
  }
}

TEST_F(ConfinementTest, HiddenProcessesAndNoNewPrivileges) {
  SharedPool pool = make_user_pool(1, Confinement{.host_processes = false, .setuid_programs = false});
  SharedUser a = account(pool), host = account(open_);
  ASSERT_TRUE(a && host);
  TerminalSession &confined = session(a), &open = session(host);
  const std::string uid = std::to_string(a->lock()->uid());
  // Any line of `ps -e` not the account's own shows up as "other".
  const std::string ps = "echo \"ps=[$(ps -e -o uid= | sed 's/^ *" + uid + "$/own/; s/^ *[0-9]*$/other/' | sort -u | tr '\\n' ,)]\"";
  EXPECT_NE(run(confined, ps).find("ps=[own,]"), std::string::npos);
  run(open, "sleep 60 &");
  EXPECT_NE(run(open, ps).find("other,"), std::string::npos);
  EXPECT_NE(run(confined, "grep NoNewPrivs /proc/self/status").find("NoNewPrivs:\t1"), std::string::npos);
  EXPECT_NE(run(open, "grep NoNewPrivs /proc/self/status").find("NoNewPrivs:\t0"), std::string::npos);

  // A set-uid-root copy of `id`, root's, where each tenant can run it.
  for (const SharedUser& u : {a, host}) {
    const std::string copy = u->lock()->home() + "/suid-id";
    std::filesystem::copy_file(testing_support::find_on_path("id"), copy);
    ASSERT_EQ(::chmod(copy.c_str(), 04755), 0);
  }
  EXPECT_NE(run(confined, "echo \"euid=[$(./suid-id -u)]\"").find("euid=[" + uid + "]"), std::string::npos);
  EXPECT_NE(run(open, "echo \"euid=[$(./suid-id -u)]\"").find("euid=[0]"), std::string::npos);
}

TEST(AccountNamespaces, PrivatePlacesGoWithTheirOwnerOnlyInTheProcessThatMadeThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string name = "confine-test-" + std::to_string(::getpid());
  auto made = AccountNamespaces::create(Confinement{.private_tmp = true}, name);
  ASSERT_TRUE(made.has_value()) << made.error();
  auto copy = [&](const char* place) { return std::string(place) + "/" + kPrivateDirName + "/" + name; };
  const pid_t child = ::fork();
  if (child == 0) {
    made->reset();  // a forked copy: the parent's tenant keeps its places
    ::_exit(0);
  }
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  for (const char* place : kPrivatePlaces) EXPECT_TRUE(std::filesystem::is_directory(copy(place))) << place;
  made->reset();
  for (const char* place : kPrivatePlaces) EXPECT_FALSE(std::filesystem::exists(copy(place))) << place;
}

}  // namespace
}  // namespace ferrowick
