// The control socket: a Unix stream socket in the private state folder, one request and
// one reply per connection, and only for peers running as this user. It is open while
// this Velmo owns the terminals, and closed the moment it gives them up.

#include <fcntl.h>
#include <poll.h>
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
#include "base/paths.h"
#include "base/text.h"
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

// Whether a live process accepts connections on the path. The probe never waits: a full
// backlog means someone listens.
bool answering(const std::string& path) {
  sockaddr_un addr;
  if (!fillAddress(addr, path)) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  bool live = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ||
              errno == EAGAIN || errno == EINPROGRESS;
  ::close(fd);
  return live;
}

void acceptLoop(int listener, int wake, const std::function<bool()>& mayAnswer) {
  pthread_setname_np(pthread_self(), "velmo.control");
  while (true) {
    pollfd both[2] = {{listener, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(both, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (both[1].revents != 0) return;
    if ((both[0].revents & POLLIN) == 0) continue;
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EBADF || errno == EINVAL) return;
      // Out of descriptors and the like: pause rather than spin.
      if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) ::usleep(100000);
      continue;
    }
    // The connection itself blocks, with time limits (the listener does not).
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (connections.fetch_add(1) >= kMaxConnections) {
      connections.fetch_sub(1);
      ::close(fd);
      continue;
    }
    std::thread([fd, mayAnswer] {
      serve(fd, mayAnswer);
      connections.fetch_sub(1);
    }).detach();
  }
}

std::string failed(const char* english, const char* hebrew) {
  return Lang::pick(english, hebrew) + std::string(": ") + Text::systemError(errno);
}

}  // namespace

std::string socketPath() {
  return Files::join(StateFeed::dir(), "velmo-" + Paths::host() + ".sock");
}

bool answered() {
  return answering(socketPath());
}

void serve(int fd, const std::function<bool()>& mayAnswer) {
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
    // Asked again right before acting: the terminals may have passed to another Velmo
    // since this connection was accepted.
    nlohmann::json reply =
        mayAnswer && !mayAnswer()
            ? nlohmann::json{{"ok", false},
                             {"error", "this Velmo no longer owns the terminals; ask again"}}
            : handle(request);
    text = reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const std::exception& e) {
    Log::note(Lang::pick("control request failed — ", "בקשת הבקרה נכשלה — ") +
              std::string(e.what()));
    text = "{}";
  }
  writeAll(fd, text + "\n");
  finish(fd);
}

std::unique_ptr<Listener> Listener::open(std::function<bool()> mayAnswer, std::string* why) {
  auto say = [why](std::string text) {
    if (why) *why = std::move(text);
  };
  if (!StateFeed::ensureDir()) {
    say(failed("the private state folder cannot be made", "אי אפשר ליצור את תיקיית המצב"));
    return nullptr;
  }
  std::string path = socketPath();
  sockaddr_un addr;
  if (!fillAddress(addr, path)) {
    say(Lang::pick("the socket's path is too long: ", "הנתיב של השקע ארוך מדי: ") + path);
    return nullptr;
  }
  if (answering(path)) {
    say(Lang::pick("another process already answers on ", "תהליך אחר כבר עונה ב־") + path);
    return nullptr;
  }
  ::unlink(path.c_str());
  std::unique_ptr<Listener> l(new Listener());
  l->path = path;
  l->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (l->fd < 0 || ::pipe2(l->wake, O_CLOEXEC) != 0) {
    say(failed("no socket", "אין שקע"));
    return nullptr;
  }
  mode_t old = ::umask(077);
  bool bound = ::bind(l->fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(old);
  struct stat st {};
  if (!bound || ::chmod(path.c_str(), 0600) != 0 || ::lstat(path.c_str(), &st) != 0 ||
      ::listen(l->fd, kBacklog) != 0) {
    say(failed("the control socket cannot be opened", "אי אפשר לפתוח את שקע הבקרה"));
    if (bound) ::unlink(path.c_str());
    return nullptr;
  }
  l->dev = st.st_dev;
  l->ino = st.st_ino;
  l->accepting = std::thread(
      [fd = l->fd, wake = l->wake[0], gate = std::move(mayAnswer)] { acceptLoop(fd, wake, gate); });
  return l;
}

bool Listener::standing() const {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == dev &&
         st.st_ino == ino;
}

Listener::~Listener() {
  // The name goes first, so that from now on nobody reaches this socket.
  if (fd >= 0 && standing()) ::unlink(path.c_str());
  if (accepting.joinable()) {
    char stop = 1;
    while (::write(wake[1], &stop, 1) < 0 && errno == EINTR) {
    }
    accepting.join();
  }
  for (int f : {fd, wake[0], wake[1]})
    if (f >= 0) ::close(f);
}

}  // namespace Control
