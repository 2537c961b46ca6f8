/* A Windows program of the kind that drives units today: it calls
 * Tcp_Orvik_RW of LampLink.dll, either loaded by name at run time or linked
 * through the import library and lamplink.h (LAMPLINK_LINKED). The tests
 * run it under Wine:
 *
 *   lamplink_caller PORT A.B.C.D HEXFRAME
 *
 * and read one line: "result R frame HH HH HH HH HH HH HH HH ms N error E
 * guard ok|broken", E being WSAGetLastError() after a 0. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <winsock2.h>

#ifdef LAMPLINK_LINKED
#include "lamplink.h"
#endif

typedef uint8_t(__cdecl* ExchangeFunction)(int32_t, const uint8_t*, uint8_t*);

int main(int argc, char** argv) {
  if (argc != 4 || strlen(argv[3]) != 16) {
    fprintf(stderr, "usage: lamplink_caller PORT A.B.C.D HEXFRAME(16 digits)\n");
    return 2;
  }
#ifdef LAMPLINK_LINKED
  ExchangeFunction exchange = Tcp_Orvik_RW;
#else
  HMODULE library = LoadLibraryA("LampLink.dll");
  if (!library) {
    printf("load failed %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  ExchangeFunction exchange =
      (ExchangeFunction)(void (*)(void))GetProcAddress(library, "Tcp_Orvik_RW");
  if (!exchange) {
    printf("no Tcp_Orvik_RW\n");
    return 1;
  }
#endif
  uint8_t address[4];
  unsigned parts[4];
  if (sscanf(argv[2], "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]) != 4) return 2;
  for (int i = 0; i < 4; ++i) address[i] = (uint8_t)parts[i];
  /* The frame, then guard bytes the library must never touch. */
  uint8_t area[8 + 12];
  memset(area, 0xA5, sizeof area);
  for (int i = 0; i < 8; ++i) {
    char digits[3] = {argv[3][2 * i], argv[3][2 * i + 1], 0};
    area[i] = (uint8_t)strtoul(digits, NULL, 16);
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const uint8_t result = exchange((int32_t)strtol(argv[1], NULL, 0), address, area);
  const int error = WSAGetLastError();
  QueryPerformanceCounter(&end);
  int guard = 1;
  for (size_t i = 8; i < sizeof area; ++i) guard = guard && area[i] == 0xA5;
  printf("result %u frame", result);
  for (int i = 0; i < 8; ++i) printf(" %02X", area[i]);
  printf(" ms %.1f error %d guard %s\n",
         (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart,
         result ? 0 : error, guard ? "ok" : "broken");
  return 0;
}
