// POSIX and Winsock implementations of the socket layer. The only platform differences the
// protocol client sees are here.
#include "platform/net.h"

#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <ws2tcpip.h>
#else
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#if !defined(_WIN32) && !defined(MSG_NOSIGNAL)
#define MSG_NOSIGNAL 0  // platforms without it use SO_NOSIGPIPE, set at connect
#endif

void net_startup() {
#if defined(_WIN32)
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
}

net_connect_result net_connect_tcp(const char *host, int port, net_socket *out) {
  *out = NET_INVALID_SOCKET;
  char service[16];
  snprintf(service, sizeof service, "%d", port);
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr) {
    if (list != nullptr) freeaddrinfo(list);
    return NET_RESOLVE_FAILED;
  }
  // "localhost" often resolves to ::1 first while the server listens on 127.0.0.1 only, so
  // every address is tried in order.
  bool any_socket = false;
  for (addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
    net_socket s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == NET_INVALID_SOCKET) continue;
    any_socket = true;
#if defined(SO_NOSIGPIPE)
    int one_nosig = 1;
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &one_nosig, sizeof one_nosig);
#endif
    int rc;
    do {
      rc = connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen));
#if defined(_WIN32)
    } while (false);
#else
    } while (rc != 0 && errno == EINTR);
#endif
    if (rc == 0) {
      int one = 1;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
      freeaddrinfo(list);
      *out = s;
      return NET_CONNECTED;
    }
    net_close(s);
  }
  freeaddrinfo(list);
  return any_socket ? NET_CONNECT_FAILED : NET_SOCKET_FAILED;
}

long net_send(net_socket s, const void *data, size_t len) {
#if defined(_WIN32)
  int chunk = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
  return send(s, static_cast<const char *>(data), chunk, 0);
#else
  for (;;) {
    ssize_t n = send(s, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
#endif
}

long net_recv(net_socket s, void *buf, size_t len) {
#if defined(_WIN32)
  int chunk = len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
  return recv(s, static_cast<char *>(buf), chunk, 0);
#else
  for (;;) {
    ssize_t n = recv(s, buf, len, 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
#endif
}

long net_recv_now(net_socket s, void *buf, size_t len) {
#if defined(_WIN32)
  // Winsock has no per-call non-blocking flag: look first, then receive.
  int ready = net_wait_readable(s, 0);
  if (ready == 0) return NET_WOULD_BLOCK;
  if (ready < 0) return -1;
  return net_recv(s, buf, len);
#else
  for (;;) {
    ssize_t n = recv(s, buf, len, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return NET_WOULD_BLOCK;
    return static_cast<long>(n);
  }
#endif
}

int net_wait_readable(net_socket s, int timeout_ms) {
#if defined(_WIN32)
  WSAPOLLFD p;
  p.fd = s;
  p.events = POLLRDNORM;
  p.revents = 0;
  int rc = WSAPoll(&p, 1, timeout_ms);
  return rc < 0 ? -1 : rc > 0 ? 1 : 0;
#else
  pollfd p;
  p.fd = s;
  p.events = POLLIN;
  p.revents = 0;
  int rc = poll(&p, 1, timeout_ms);
  if (rc < 0) return errno == EINTR ? 0 : -1;
  return rc > 0 ? 1 : 0;
#endif
}

void net_close(net_socket s) {
  if (s == NET_INVALID_SOCKET) return;
#if defined(_WIN32)
  closesocket(s);
#else
  close(s);
#endif
}
