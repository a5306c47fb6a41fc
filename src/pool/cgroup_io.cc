#include "pool/cgroup_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "common/system_error.h"
#include "common/unique_fd.h"

namespace ferrowick {

CgroupUsage usage_of_rusage(const struct rusage& ru) {
  CgroupUsage u;
  u.cpu_time = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  u.peak_memory = static_cast<std::uint64_t>(ru.ru_maxrss) * 1024;  // reported in KiB
  return u;
}

int write_control(int dirfd, const char* file, std::string_view value) {
  int fd;
  do fd = ::openat(dirfd, file, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  UniqueFd owned(fd);
  // The kernel parses one write as one value: never split it.
  ssize_t n;
  do n = ::write(fd, value.data(), value.size());
  while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  return static_cast<std::size_t>(n) == value.size() ? 0 : EIO;
}

Expected<void, std::string> apply_writes(int dirfd, const std::vector<CgroupWrite>& writes) {
  for (const CgroupWrite& w : writes) {
    int err = write_control(dirfd, w.file, w.value);
    if (err == ENOENT && w.optional) continue;
    if (err != 0) return Unexpected(std::string("writing ") + w.value + " to " + w.file + ": " + system_error_text(err));
  }
  return {};
}

Expected<std::string, int> read_control(int dirfd, const char* file) {
  int fd;
  do fd = ::openat(dirfd, file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return Unexpected(errno);
  UniqueFd owned(fd);
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Unexpected(errno);
    if (n == 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  for (const char* p = end; p != text.data() + text.size(); ++p)
    if (*p != ' ' && *p != '\n' && *p != '\t') return std::nullopt;
  return v;
}

std::optional<std::uint64_t> keyed_value(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ' ')
      return parse_u64(line.substr(key.size() + 1));
  }
  return std::nullopt;
}

std::optional<std::uint64_t> read_u64(int dirfd, const char* file) {
  auto text = read_control(dirfd, file);
  if (!text) return std::nullopt;
  return parse_u64(*text);
}

std::optional<std::uint64_t> read_keyed(int dirfd, const char* file, std::string_view key) {
  auto text = read_control(dirfd, file);
  if (!text) return std::nullopt;
  return keyed_value(*text, key);
}

void read_usage_files(int dirfd, unsigned roles, const UsageFiles& f, CgroupUsage& usage) {
  if (roles & kRoleCpuTime) {
    auto n = f.cpu_key ? read_keyed(dirfd, f.cpu_file, f.cpu_key) : read_u64(dirfd, f.cpu_file);
    if (n) usage.cpu_time = static_cast<double>(*n) * f.cpu_unit;
  }
  if (roles & kRoleMemory) {
    if (auto v = read_u64(dirfd, f.memory)) usage.memory = *v;
    if (auto v = read_u64(dirfd, f.peak)) usage.peak_memory = *v;
    if (auto v = read_keyed(dirfd, f.oom_file, "oom_kill")) usage.oom_kills = *v;
    usage.source = f.source;
  }
  if (roles & kRolePids)
    if (auto v = read_u64(dirfd, "pids.current")) usage.pids = *v;
}

std::vector<int> parse_pids(std::string_view text) {
  std::vector<int> pids;
  while (!text.empty()) {
    std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    int pid = 0;
    auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), pid);
    if (ec == std::errc() && end == line.data() + line.size() && pid > 0) pids.push_back(pid);
  }
  return pids;
}

}  // namespace ferrowick
