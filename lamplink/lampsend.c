/* lampsend: one lamp frame exchange from the command line.
 *
 *   lampsend ADDRESS PORT B0 B1 B2 B3 B4 B5 B6 B7
 *
 * The eight bytes are given in hex (B0 = 1 writes, 0 reads). Prints the
 * result and the frame as it came back; when the exchange fails, says why
 * on standard error. */
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lamplink.h"

static int ParseAddress(const char* text, uint8_t address[4]) {
  unsigned a, b, c, d;
  char rest;
  if (sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &rest) != 4) return 0;
  if (a > 255 || b > 255 || c > 255 || d > 255) return 0;
  address[0] = (uint8_t)a;
  address[1] = (uint8_t)b;
  address[2] = (uint8_t)c;
  address[3] = (uint8_t)d;
  return 1;
}

/* Which step of the exchange a reason in errno comes from. */
static const char* FailedStep(int reason) {
  switch (reason) {
    case ECONNREFUSED:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EDESTADDRREQ:
    case ENOTCONN:
      return "no connection within 1 s";
    case ECONNRESET:
    case EPIPE:
      return "request not sent";
    default:
      return "no socket";
  }
}

static void PrintReason(const char* address, long port, int reason) {
  char text[128];
  snprintf(text, sizeof text, "%s", strerror(reason));
  text[0] = (char)tolower((unsigned char)text[0]);
  fprintf(stderr, "lampsend: %s:%ld: %s: %s\n", address, port, FailedStep(reason), text);
}

int main(int argc, char** argv) {
  if (argc != 11) {
    fprintf(stderr, "usage: %s ADDRESS PORT B0 B1 B2 B3 B4 B5 B6 B7 (bytes in hex)\n", argv[0]);
    return 2;
  }
  uint8_t address[4];
  if (!ParseAddress(argv[1], address)) {
    fprintf(stderr, "%s: not an IPv4 address: %s\n", argv[0], argv[1]);
    return 2;
  }
  int32_t port = (int32_t)strtol(argv[2], NULL, 10);
  uint8_t frame[8];
  for (int i = 0; i < 8; ++i) frame[i] = (uint8_t)strtoul(argv[3 + i], NULL, 16);

  errno = 0;
  uint8_t result = Tcp_Orvik_RW(port, address, frame);
  const int reason = errno;

  printf("result %u frame", result);
  for (int i = 0; i < 8; ++i) printf(" %02X", frame[i]);
  printf("\n");
  if (!result) PrintReason(argv[1], (long)(port & 0xFFFF), reason);
  return result ? 0 : 1;
}
