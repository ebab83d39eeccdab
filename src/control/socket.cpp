// The control socket: a Unix stream socket in the private state folder, one request and
// one reply per connection, and only for peers running as this user.

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "base/files.h"
#include "base/lang.h"
#include "base/log.h"
#include "control/control.h"
#include "feed/state_feed.h"

namespace Control {
namespace {

constexpr int kBacklog = 8;
// A request-click holds its connection for up to ten minutes, so connections get threads
// of their own instead of the shared pool; past this many at once, new ones are closed.
constexpr int kMaxConnections = 32;
// A peer that connects and never finishes its request must not hold a thread for ever.
constexpr int kReadTimeoutSeconds = 15;

std::atomic<int> connections{0};

void setTimeout(int fd, int option, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

bool samePeer(int fd) {
  ucred cred{};
  socklen_t size = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred)
    return false;
  return cred.uid == ::geteuid();
}

std::string readRequest(int fd) {
  std::string buffer;
  char chunk[kRequestCap];
  while (buffer.size() < kRequestCap) {
    // Never past the cap: an oversized request is cut and so fails to parse.
    ssize_t n = ::recv(fd, chunk, kRequestCap - buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<size_t>(n));
    if (buffer.find('\n') != std::string::npos) break;
  }
  return buffer;
}

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Closing with unread input would reset the connection and could cost the peer the
// reply, so what is left of an oversized request is read away first.
void finish(int fd) {
  ::shutdown(fd, SHUT_WR);
  setTimeout(fd, SO_RCVTIMEO, 1);
  char sink[4096];
  size_t drained = 0;
  while (drained < (1u << 20)) {
    ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    drained += static_cast<size_t>(n);
  }
  ::close(fd);
}

bool fillAddress(sockaddr_un& addr, const std::string& path) {
  addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() + 1 > sizeof addr.sun_path) return false;
  path.copy(addr.sun_path, path.size());
  return true;
}

// Whether a live Velmo already answers on the path.
bool answering(const std::string& path) {
  sockaddr_un addr;
  if (!fillAddress(addr, path)) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool live = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return live;
}

void acceptLoop(int listener) {
  pthread_setname_np(pthread_self(), "velmo.control");
  while (true) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EBADF || errno == EINVAL) return;
      // Out of descriptors and the like: pause rather than spin.
      if (errno != EINTR && errno != ECONNABORTED) ::usleep(100000);
      continue;
    }
    if (connections.fetch_add(1) >= kMaxConnections) {
      connections.fetch_sub(1);
      ::close(fd);
      continue;
    }
    std::thread([fd] {
      serve(fd);
      connections.fetch_sub(1);
    }).detach();
  }
}

}  // namespace

std::string socketPath() { return Files::join(StateFeed::dir(), "velmo.sock"); }

void serve(int fd) {
  if (!samePeer(fd)) {
    ::close(fd);
    return;
  }
  setTimeout(fd, SO_RCVTIMEO, kReadTimeoutSeconds);
  setTimeout(fd, SO_SNDTIMEO, kReadTimeoutSeconds);
  auto request = nlohmann::json::parse(readRequest(fd), nullptr, false);
  if (!request.is_object()) request = nlohmann::json::object();
  std::string text;
  try {
    text = handle(request).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const std::exception& e) {
    Log::note(Lang::pick("control request failed — ", "בקשת הבקרה נכשלה — ") + std::string(e.what()));
    text = "{}";
  }
  writeAll(fd, text + "\n");
  finish(fd);
}

bool start() {
  if (!StateFeed::ensureDir()) return false;
  std::string path = socketPath();
  sockaddr_un addr;
  if (!fillAddress(addr, path)) return false;
  if (answering(path)) {
    Log::note(Lang::pick("another Velmo already answers on the control socket; this one has none",
                         "ולמו אחר כבר עונה בשקע הבקרה; לזה אין"));
    return false;
  }
  ::unlink(path.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  mode_t old = ::umask(077);
  bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(old);
  if (!bound || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, kBacklog) != 0) {
    ::close(fd);
    return false;
  }
  std::thread([fd] { acceptLoop(fd); }).detach();
  return true;
}

}  // namespace Control
