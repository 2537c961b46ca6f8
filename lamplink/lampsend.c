/* lampsend: one lamp frame exchange from the command line, through LampLink.
 *
 *   lampsend ADDRESS PORT B0 B1 B2 B3 B4 B5 B6 B7
 *
 * The eight bytes are given in hex (B0 = 1 writes, 0 reads). Prints the
 * result and the frame as it came back; when the exchange fails, or no reply
 * is known, says why on standard error. Exit status: 0 answered, 1 no
 * exchange, 2 usage, 3 connected but no reply known. */
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
    "       lampsend -h | --help | --version\n";
static const char kDescription[] =
    "Sends one 8-byte lamp frame to the unit at ADDRESS (A.B.C.D), TCP PORT (1 to 65535),\n"
    "and prints the result and the frame as it came back. The bytes are one or two hex\n"
    "digits each: B0 is 1 to write (lamps and sound), 0 to read the unit's state; B1 the\n"
    "model; B2 to B6 the red, yellow, green, blue and white lamps (0 off, 1 on, 2 blinking,\n"
    "64 unchanged); B7 the sound (0 off, 1 to 5, 64 unchanged).\n"
    "Tcp_Orvik_RW cannot tell a reply from silence: its frame comes back as it went out\n"
    "when the unit said nothing. lampsend counts a frame that changed as the reply; one\n"
    "that did not is \"no reply known\" (a write naming every lamp and the sound is\n"
    "answered with the very same bytes: read the state after it to be sure).\n"
    "Exit status: 0 the unit answered; 1 no connection or the request was not sent (the\n"
    "reason is on standard error); 2 usage error; 3 connected, but no reply known: the\n"
    "frame still holds the request.\n";

/* An argument as it may be shown: printable ASCII as it is, other bytes as
 * \xNN, cut after 64 bytes. */
static void PrintArgument(FILE* out, const char* text) {
  size_t i = 0;
  for (; text[i] != '\0' && i < 64; ++i) {
    const unsigned char byte = (unsigned char)text[i];
    if (byte == '\\')
      fputs("\\\\", out);
    else if (byte >= 0x20 && byte < 0x7f)
      fputc(byte, out);
    else
      fprintf(out, "\\x%02x", byte);
  }
  if (text[i] != '\0') fputs("...", out);
}

static int Usage(const char* problem, const char* text) {
  fprintf(stderr, "lampsend: %s: '", problem);
  PrintArgument(stderr, text);
  fprintf(stderr, "'\n%s", kUsage);
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
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    fputs(kDescription, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    puts(LAMP_VERSION);
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    /* No address, port or byte starts with '-'. */
    if (argv[i][0] == '-') return Usage("unknown option", argv[i]);
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

  /* The request as it goes on the wire: the library makes byte 0 'W' or 'R'. */
  uint8_t request[8];
  memcpy(request, frame, sizeof request);
  request[0] = request[0] == 1 ? 'W' : 'R';

  errno = 0;
  uint8_t result = Tcp_Orvik_RW((int32_t)port, address, frame);
  const int reason = errno;

  printf("result %u frame", result);
  for (int i = 0; i < 8; ++i) printf(" %02X", frame[i]);
  printf("\n");
  int status = 0;
  if (!result) {
    PrintReason(argv[1], port, reason);
    status = 1;
  } else if (memcmp(frame, request, sizeof request) == 0) {
    fprintf(stderr, "lampsend: %s:%ld: no reply known: the frame still holds the request\n",
            argv[1], port);
    status = 3;
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "lampsend: cannot write the output: %s\n", strerror(errno));
    if (status == 0) status = 1;
  }
  return status;
}
