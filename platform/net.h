// The platform's TCP sockets behind one small interface: POSIX sockets, or Winsock 2 under
// _WIN32. Everything blocks; nothing here sets a time-out.
#ifndef MDUMP_PLATFORM_NET_H
#define MDUMP_PLATFORM_NET_H

#include <cstddef>

#if defined(_WIN32)
#include <winsock2.h>
typedef SOCKET net_socket;
#define NET_INVALID_SOCKET INVALID_SOCKET
#else
typedef int net_socket;
#define NET_INVALID_SOCKET (-1)
#endif

enum net_connect_result {
  NET_CONNECTED = 0,
  NET_RESOLVE_FAILED = -1,  // name resolution failed or gave no address
  NET_SOCKET_FAILED = -2,   // no socket could be created for any address
  NET_CONNECT_FAILED = -3,  // no address accepted the connection
};

// Starts the platform's socket layer (Winsock 2.2); nothing to do elsewhere.
void net_startup();

// Resolves host:port (any family, stream sockets) and connects to the first address that
// accepts, trying each in turn. Sets TCP_NODELAY on success.
net_connect_result net_connect_tcp(const char *host, int port, net_socket *out);

// Sends up to len bytes. Returns the count sent (> 0), or <= 0 on failure. Retries when
// interrupted by a signal, and never raises SIGPIPE on a closed peer.
long net_send(net_socket s, const void *data, size_t len);

// Receives up to len bytes. Returns the count (> 0), 0 when the peer closed, < 0 on failure.
// Retries when interrupted by a signal.
long net_recv(net_socket s, void *buf, size_t len);

// Like net_recv, but returns NET_WOULD_BLOCK at once when no data is waiting.
enum { NET_WOULD_BLOCK = -2 };
long net_recv_now(net_socket s, void *buf, size_t len);

// Waits up to timeout_ms for the socket to become readable (or closed, or failed).
// Returns 1 when a receive would not block, 0 on time-out, -1 on failure.
int net_wait_readable(net_socket s, int timeout_ms);

void net_close(net_socket s);

#endif
