/* Preloaded into test programs to make the socket layer misbehave on demand,
 * without any switch in the product code:
 *   LAMPTEST_FAIL_SOCKET=1      every IPv4 socket() fails (no usable socket layer)
 *   LAMPTEST_SEND_DELAY_MS=N    send() waits N ms first (lets a peer's reset arrive)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

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
  if (!real_send) real_send = (ssize_t (*)(int, const void*, size_t, int))dlsym(RTLD_NEXT, "send");
  const char* delay = getenv("LAMPTEST_SEND_DELAY_MS");
  if (delay) {
    long ms = strtol(delay, NULL, 10);
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
  }
  return real_send(fd, bytes, length, flags);
}
