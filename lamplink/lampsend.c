/* lampsend: one lamp frame exchange from the command line, through LampLink.
 *
 *   lampsend ADDRESS PORT B0 B1 B2 B3 B4 B5 B6 B7
 *
 * The eight bytes are given in hex (B0 = 1 writes, 0 reads). Prints the
 * result and the frame as it came back; when the exchange fails, says why
 * on standard error. Exit status: 0 exchanged, 1 no exchange, 2 usage. */
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lamplink.h"

#ifndef LAMP_VERSION
#define LAMP_VERSION "unknown"
#endif

static const char kUsage[] =
    "usage: lampsend ADDRESS PORT B0 B1 B2 B3 B4 B5 B6 B7\n"
    "       lampsend --help | --version\n";
static const char kDescription[] =
    "Sends one 8-byte lamp frame to the unit at ADDRESS (A.B.C.D), TCP PORT (1 to 65535),\n"
    "and prints the result and the frame as it came back. The bytes are one or two hex\n"
    "digits each: B0 is 1 to write (lamps and sound), 0 to read the unit's state; B1 the\n"
    "model; B2 to B6 the red, yellow, green, blue and white lamps (0 off, 1 on, 2 blinking,\n"
    "64 unchanged); B7 the sound (0 off, 1 to 5, 64 unchanged).\n"
    "Exit status: 0 exchanged, 1 no connection or the request was not sent (the reason\n"
    "is on standard error), 2 usage error.\n";

static int Usage(const char* problem, const char* text) {
  fprintf(stderr, "lampsend: %s: '%s'\n%s", problem, text, kUsage);
  return 2;
}

/* A decimal number 0 to `high`, digits only, no leading zero. */
static int ParseDecimal(const char* text, long high, long* value) {
  size_t length = strlen(text);
  if (length == 0 || length > 5 || (length > 1 && text[0] == '0')) return 0;
  long parsed = 0;
  for (size_t i = 0; i < length; ++i) {
    if (!isdigit((unsigned char)text[i])) return 0;
    parsed = parsed * 10 + (text[i] - '0');
  }
  if (parsed > high) return 0;
  *value = parsed;
  return 1;
}

static int ParseAddress(const char* text, uint8_t address[4]) {
  char piece[4][8];
  const char* at = text;
  for (int i = 0; i < 4; ++i) {
    size_t length = strcspn(at, ".");
    if (length == 0 || length >= sizeof piece[i]) return 0;
    memcpy(piece[i], at, length);
    piece[i][length] = '\0';
    at += length;
    if (i < 3 && *at++ != '.') return 0;
  }
  if (*at != '\0') return 0;
  for (int i = 0; i < 4; ++i) {
    long value = 0;
    if (!ParseDecimal(piece[i], 255, &value)) return 0;
    address[i] = (uint8_t)value;
  }
  return 1;
}

static int ParseByte(const char* text, uint8_t* byte) {
  size_t length = strlen(text);
  if (length < 1 || length > 2) return 0;
  for (size_t i = 0; i < length; ++i) {
    if (!isxdigit((unsigned char)text[i])) return 0;
  }
  *byte = (uint8_t)strtoul(text, NULL, 16);
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
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    fputs(kUsage, stdout);
    fputs(kDescription, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    puts(LAMP_VERSION);
    return 0;
  }
  if (argc != 11) {
    fprintf(stderr, "lampsend: %s\n%s", argc < 11 ? "too few arguments" : "too many arguments",
            kUsage);
    return 2;
  }
  uint8_t address[4];
  if (!ParseAddress(argv[1], address)) return Usage("not an IPv4 address", argv[1]);
  long port = 0;
  if (!ParseDecimal(argv[2], 65535, &port) || port == 0) {
    return Usage("not a port from 1 to 65535", argv[2]);
  }
  uint8_t frame[8];
  for (int i = 0; i < 8; ++i) {
    if (!ParseByte(argv[3 + i], &frame[i]))
      return Usage("not a byte in hex (00 to ff)", argv[3 + i]);
  }

  errno = 0;
  uint8_t result = Tcp_Orvik_RW((int32_t)port, address, frame);
  const int reason = errno;

  printf("result %u frame", result);
  for (int i = 0; i < 8; ++i) printf(" %02X", frame[i]);
  printf("\n");
  if (!result) PrintReason(argv[1], port, reason);
  return result ? 0 : 1;
}
