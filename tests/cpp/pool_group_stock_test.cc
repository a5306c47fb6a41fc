// The stock of ready groups against fake hosts: sessions take groups made
// ahead and still get their own limits, ended ones wait for tend() (or are
// removed at once beyond the cap), a forked child leaves the parent's groups
// alone, and stopping leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "pool/group_stock.h"
#include "pool/session_group.h"
#include "pool_cgroup_fake_host.h"

namespace ferrowick {
namespace {

using testing_support::FakeHost;
using testing_support::get;

TEST(GroupStockTest, SessionsTakeReadyGroupsWithTheirOwnLimitsAndLeaveNothing) {
  struct Case {
    const char* name;
    std::vector<std::string> kinds;
    std::string limit_file;  // kind/file holding the memory limit
  };
  const Case cases[] = {
      {"pure v2", {"v2full"}, "v2full/memory.max"},
      {"hybrid", {"unified", "memory", "pids", "cpu", "cpuacct", "freezer"}, "memory/memory.limit_in_bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost fake(c.kinds);
    CgroupHost host = fake.detect();
    GroupStock stock(host.ops, session_group_shape(host), 2);
    // The first session finds nothing ready and makes its own; tend()
    // then fills the stock.
    auto first = SessionGroup::create(host, {}, &stock);
    ASSERT_TRUE(first) << first.error().message;
    EXPECT_EQ(stock.ready(), 0u);
    (*first)->tend_stock();
    EXPECT_EQ(stock.ready(), 2u);
    const std::string kind = c.limit_file.substr(0, c.limit_file.find('/'));
    EXPECT_EQ(fake.children(kind).size(), 3u);

    auto limited = SessionGroup::create(host, CgroupLimits{64u << 20, {}, {}}, &stock);
    ASSERT_TRUE(limited) << limited.error().message;
    EXPECT_LE(stock.ready(), 1u);  // taken, not made
    EXPECT_EQ(get(fake.dir(kind) + "/" + (*limited)->name() + c.limit_file.substr(kind.size())), "67108864");
    // A shape the stock does not keep (v1's cpu hierarchy joins only for
    // its limit) is made on the spot.
    if (c.kinds.size() > 1) {
      auto cpu = SessionGroup::create(host, CgroupLimits{{}, {}, 50}, &stock);
      ASSERT_TRUE(cpu) << cpu.error().message;
      EXPECT_EQ(fake.children("cpu").size(), 1u);
      (*cpu)->finish();
    }

    const std::string gone = (*limited)->name();
    (*first)->finish();
    (*limited)->finish();
    const std::size_t cpu_group = c.kinds.size() > 1 ? 1 : 0;
    EXPECT_EQ(stock.doomed(), 2u + cpu_group);
    EXPECT_EQ(fake.children(kind).size(), 3u + cpu_group);  // one ready, the rest kept for removal
    stock.tend();
    EXPECT_EQ(stock.doomed(), cpu_group);  // two per call
    stock.flush();
    for (const std::string& k : c.kinds)
      for (const std::string& child : fake.children(k)) EXPECT_NE(child, gone) << k;
    EXPECT_EQ((*limited)->usage().source, std::string(c.kinds.size() > 1 ? "cgroup1" : "cgroup2"));

    stock.stop();
    for (const std::string& k : c.kinds) EXPECT_TRUE(fake.children(k).empty()) << k;
    // Stopped: sessions make and remove their groups themselves.
    auto late = SessionGroup::create(host, {}, &stock);
    ASSERT_TRUE(late);
    EXPECT_EQ(fake.children(kind).size(), 1u);
    (*late)->finish();
    EXPECT_TRUE(fake.children(kind).empty());
  }
}

TEST(GroupStockTest, AFailureStopsTheMakingAndIsReportedByTheSession) {
  FakeHost fake({"v2full"});
  CgroupHost host = fake.detect();
  std::atomic<int> makes{0};
  host.ops.make = [&makes](int, const char*, const std::string&) {
    ++makes;
    return EACCES;
  };
  GroupStock stock(host.ops, session_group_shape(host), 2);
  auto group = SessionGroup::create(host, {}, &stock);
  ASSERT_FALSE(group);
  EXPECT_NE(group.error().message.find("Permission denied"), std::string::npos) << group.error().message;
  stock.tend();  // one try, then no more until the next take
  stock.tend();
  EXPECT_EQ(makes, 2);
  EXPECT_EQ(stock.ready(), 0u);
}

TEST(GroupStockTest, AtTheCapEndedGroupsAreRemovedAtOnceAndTheSweepKeepsItsInterval) {
  FakeHost fake({"v2full"});
  CgroupHost host = fake.detect();
  GroupStock stock(host.ops, session_group_shape(host), 0);
  std::vector<std::unique_ptr<SessionGroup>> groups;
  for (std::size_t i = 0; i < GroupStock::kMaxDoomed + 3; ++i) groups.push_back(std::move(*SessionGroup::create(host, {}, &stock)));
  for (auto& g : groups) g->finish();
  EXPECT_EQ(stock.doomed(), GroupStock::kMaxDoomed);
  EXPECT_EQ(fake.children("v2full").size(), GroupStock::kMaxDoomed);
  // The sweep runs from tend(), once per interval.
  int sweeps = 0;
  stock.set_sweep([&sweeps] { ++sweeps; }, std::chrono::seconds(0));
  stock.tend();
  stock.tend();
  EXPECT_EQ(sweeps, 2);
  EXPECT_EQ(stock.doomed(), GroupStock::kMaxDoomed - 4);  // two per call
  stock.flush();
  EXPECT_EQ(stock.doomed(), 0u);
  stock.set_sweep([&sweeps] { ++sweeps; }, std::chrono::seconds(3600));
  stock.tend();
  EXPECT_EQ(sweeps, 2);
  stock.stop();
  EXPECT_TRUE(fake.children("v2full").empty());
}

TEST(GroupStockTest, AForkedChildLeavesTheParentsGroupsAlone) {
  FakeHost fake({"v2full"});
  CgroupHost host = fake.detect();
  GroupStock stock(host.ops, session_group_shape(host), 2);
  stock.tend();
  ASSERT_EQ(stock.ready(), 2u);
  pid_t child = ::fork();
  if (child == 0) {
    // The child's copy holds none of the parent's groups; it makes its
    // own, which its stop() removes again.
    const bool forgot = stock.ready() == 0;
    stock.tend();
    const bool refilled = stock.ready() == 2;
    stock.stop();
    ::_exit(forgot && refilled ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(fake.children("v2full").size(), 2u);  // the parent's, untouched
  EXPECT_EQ(stock.ready(), 2u);
  stock.stop();
  EXPECT_TRUE(fake.children("v2full").empty());
}

}  // namespace
}  // namespace ferrowick
