#include "e2e/velmo_run.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> all;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    auto eq = kv.find('=');
    if (eq != std::string::npos) all[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) {
    if (v.empty())
      all.erase(k);
    else
      all[k] = v;
  }
  std::vector<std::string> out;
  for (const auto& [k, v] : all) out.push_back(k + "=" + v);
  return out;
}

VelmoRun::VelmoRun(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, bool mergeErrors) {
  std::vector<std::string> envText = environmentWith(env);
  std::vector<char*> envp;
  for (auto& s : envText) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argText = {program};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argText) argv.push_back(s.data());
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  if (mergeErrors) posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  out = fds[0];
}

VelmoRun::~VelmoRun() {
  stop();
  if (out >= 0) ::close(out);
}

std::optional<std::string> VelmoRun::line(double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    auto nl = buffer.find('\n');
    if (nl != std::string::npos) {
      std::string got = buffer.substr(0, nl);
      buffer.erase(0, nl + 1);
      return got;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out < 0) return std::nullopt;
    pollfd p{out, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(out, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

std::string VelmoRun::rest(double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::string all;
  while (true) {
    double left = std::chrono::duration<double>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    auto got = line(left);
    if (!got) break;
    all += *got + "\n";
  }
  return all + buffer;
}

std::optional<int> VelmoRun::wait(double seconds) {
  if (status) return status;
  if (child <= 0) return std::nullopt;
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    int st = 0;
    struct rusage usage {};
    if (::wait4(child, &st, WNOHANG, &usage) == child) {
      status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      peak = usage.ru_maxrss;
      return status;
    }
    if (std::chrono::steady_clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void VelmoRun::stop() {
  if (child <= 0 || status) return;
  ::kill(child, SIGTERM);
  if (!wait(5)) {
    ::kill(child, SIGKILL);
    wait(5);
  }
}

int httpStatus(int port, const std::string& request, std::string* response) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    ::close(fd);
    return 0;
  }
  std::string got;
  char chunk[4096];
  while (true) {
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    got.append(chunk, static_cast<size_t>(n));
    // Stop at the end of the response: an upgrade or a kept-alive connection stays open.
    size_t head = got.find("\r\n\r\n");
    if (head == std::string::npos) continue;
    if (got.rfind("HTTP/1.1 101", 0) == 0) break;
    unsigned long length = 0;
    size_t at = got.find("Content-Length: ");
    if (at != std::string::npos && at < head) length = std::stoul(got.substr(at + 16));
    if (got.size() >= head + 4 + length) break;
  }
  ::close(fd);
  if (response) *response = got;
  int code = 0;
  if (std::sscanf(got.c_str(), "HTTP/1.%*d %d", &code) != 1) return 0;
  return code;
}

std::map<std::string, std::string> servedBeside(const std::string& home,
                                                const std::string& tmuxDir) {
  return {{"HOME", home},       {"TMUX_TMPDIR", tmuxDir}, {"TMUX", ""},
          {"VELMO_LANG", "en"}, {"XDG_CONFIG_HOME", ""},  {"CLAUDE_CONFIG_DIR", ""}};
}
