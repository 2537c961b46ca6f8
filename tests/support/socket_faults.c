/* Preloaded into test programs to make the socket layer misbehave on demand,
 * without any switch in the product code:
 *   LAMPTEST_FAIL_SOCKET=1      every IPv4 socket() fails (no usable socket layer)
 *   LAMPTEST_SEND_AFTER_PEER=1  send() first waits (10 s at most) until the peer
 *                               has acted on the connection: data, close or reset
 *   LAMPTEST_RECEIVE_AFTER_PEER=1  a wait to read one socket does the same
 *                               before its own time-out starts, so a reply is
 *                               surely there when the receive looks
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

int socket(int domain, int type, int protocol) {
  static int (*real_socket)(int, int, int);
  if (!real_socket) real_socket = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
  const char* fail = getenv("LAMPTEST_FAIL_SOCKET");
  if (fail && fail[0] == '1' && domain == AF_INET) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  return real_socket(domain, type, protocol);
}

static int RealPoll(struct pollfd* watches, nfds_t count, int timeout) {
  static int (*real_poll)(struct pollfd*, nfds_t, int);
  if (!real_poll) real_poll = (int (*)(struct pollfd*, nfds_t, int))dlsym(RTLD_NEXT, "poll");
  return real_poll(watches, count, timeout);
}

static void WaitForPeer(int fd, const char* variable) {
  const char* on = getenv(variable);
  if (on && on[0] == '1') {
    struct pollfd watch = {fd, POLLIN | POLLRDHUP, 0};
    while (RealPoll(&watch, 1, 10000) < 0 && errno == EINTR) {
    }
  }
}

// glibc declares poll's array as written only; it is read here as the kernel does.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
int poll(struct pollfd* watches, nfds_t count, int timeout) {
  if (count == 1 && watches[0].events == POLLIN)
    WaitForPeer(watches[0].fd, "LAMPTEST_RECEIVE_AFTER_PEER");
  return RealPoll(watches, count, timeout);
}

ssize_t send(int fd, const void* bytes, size_t length, int flags) {
  static ssize_t (*real_send)(int, const void*, size_t, int);
  if (!real_send) real_send = (ssize_t(*)(int, const void*, size_t, int))dlsym(RTLD_NEXT, "send");
  WaitForPeer(fd, "LAMPTEST_SEND_AFTER_PEER");
  return real_send(fd, bytes, length, flags);
}
