/* Preloaded into lampd by a test to step the wall clock under it, without
 * root or any switch in the product code: CLOCK_REALTIME (and gettimeofday,
 * time) read as many seconds off as the file named by LAMPTEST_WALL_SHIFT
 * holds, read afresh at each call. The monotonic clock is left alone.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

static long Shift(void) {
  const char* path = getenv("LAMPTEST_WALL_SHIFT");
  long seconds = 0;
  FILE* file = path ? fopen(path, "re") : NULL;
  if (file) {
    if (fscanf(file, "%ld", &seconds) != 1) seconds = 0;
    fclose(file);
  }
  return seconds;
}

int clock_gettime(clockid_t clock, struct timespec* time) {
  static int (*real)(clockid_t, struct timespec*);
  if (!real) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  const int result = real(clock, time);
  if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
    time->tv_sec += Shift();
  }
  return result;
}

int gettimeofday(struct timeval* time, void* zone) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
  (void)zone;
  time->tv_sec = now.tv_sec;
  time->tv_usec = now.tv_nsec / 1000;
  return 0;
}

time_t time(time_t* out) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (out) *out = now.tv_sec;
  return now.tv_sec;
}
