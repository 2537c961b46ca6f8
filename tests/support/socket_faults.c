/* Preloaded into test programs to make the socket layer misbehave on demand,
 * without any switch in the product code:
 *   LAMPTEST_FAIL_SOCKET=1      every IPv4 socket() fails (no usable socket layer)
 *   LAMPTEST_SEND_AFTER_PEER=1  send() first waits (10 s at most) until the peer
 *                               has acted on the connection: data, close or reset
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

ssize_t send(int fd, const void* bytes, size_t length, int flags) {
  static ssize_t (*real_send)(int, const void*, size_t, int);
  if (!real_send) real_send = (ssize_t(*)(int, const void*, size_t, int))dlsym(RTLD_NEXT, "send");
  const char* afterPeer = getenv("LAMPTEST_SEND_AFTER_PEER");
  if (afterPeer && afterPeer[0] == '1') {
    struct pollfd watch = {fd, POLLIN | POLLRDHUP, 0};
    while (poll(&watch, 1, 10000) < 0 && errno == EINTR) {
    }
  }
  return real_send(fd, bytes, length, flags);
}
