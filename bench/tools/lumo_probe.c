/* A preload library that time-stamps what a downloader process waits on, for
 * bench/job_breakdown. Loaded with LD_PRELOAD into lumoget; writes one line per event to the
 * file named by LUMO_PROBE_OUT:
 *
 *   <monotonic ns at the end> <thread id> <kind> <duration ns> <detail>
 *
 * kinds: wait (condition-variable wait with a time-out; detail: requested ms), sleep, gai
 * (getaddrinfo; detail: host and result), connect (IPv4; detail: port), rename (detail: new
 * name), log (a line the module writes to lumodownload.log, at nanosecond precision instead of
 * the log's seconds). Nothing else of the process changes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static int g_fd = -1;
static pthread_once_t g_once = PTHREAD_ONCE_INIT;
static __thread FILE* t_logFile;
static __thread int t_logFd = -1;  /* the module appends each line with open, write, close */

static void OpenOutput(void) {
  const char* path = getenv("LUMO_PROBE_OUT");
  if (path != NULL) g_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

static int64_t Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void Emit(int64_t end, const char* kind, int64_t duration, const char* format, ...) {
  pthread_once(&g_once, OpenOutput);
  if (g_fd < 0) return;
  char line[640];
  int n = snprintf(line, sizeof line, "%lld %ld %s %lld ", (long long)end, (long)syscall(SYS_gettid),
                   kind, (long long)duration);
  va_list args;
  va_start(args, format);
  n += vsnprintf(line + n, sizeof line - (size_t)n - 1, format, args);
  va_end(args);
  if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
  line[n++] = '\n';
  ssize_t written = write(g_fd, line, (size_t)n);
  (void)written;
}

#define REAL(type, name, ...)                                  \
  static type (*real)(__VA_ARGS__);                            \
  if (real == NULL) real = (type(*)(__VA_ARGS__))dlsym(RTLD_NEXT, name)

static int64_t RemainingMs(clockid_t clock, const struct timespec* until) {
  struct timespec now;
  clock_gettime(clock, &now);
  return ((int64_t)until->tv_sec - now.tv_sec) * 1000 + (until->tv_nsec - now.tv_nsec) / 1000000;
}

int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                           const struct timespec* until) {
  REAL(int, "pthread_cond_clockwait", pthread_cond_t*, pthread_mutex_t*, clockid_t,
       const struct timespec*);
  const int64_t requested = RemainingMs(clock, until);
  const int64_t start = Now();
  const int rc = real(cond, mutex, clock, until);
  const int64_t end = Now();
  Emit(end, "wait", end - start, "%lld %s", (long long)requested,
       rc == ETIMEDOUT ? "timeout" : "woken");
  return rc;
}

int pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                           const struct timespec* until) {
  static int (*real)(pthread_cond_t*, pthread_mutex_t*, const struct timespec*);
  if (real == NULL) {
    real = (int (*)(pthread_cond_t*, pthread_mutex_t*, const struct timespec*))dlvsym(
        RTLD_NEXT, "pthread_cond_timedwait", "GLIBC_2.3.2");
  }
  if (real == NULL) {
    real = (int (*)(pthread_cond_t*, pthread_mutex_t*, const struct timespec*))dlsym(
        RTLD_NEXT, "pthread_cond_timedwait");
  }
  const int64_t requested = RemainingMs(CLOCK_REALTIME, until);
  const int64_t start = Now();
  const int rc = real(cond, mutex, until);
  const int64_t end = Now();
  Emit(end, "wait", end - start, "%lld %s", (long long)requested,
       rc == ETIMEDOUT ? "timeout" : "woken");
  return rc;
}

int nanosleep(const struct timespec* request, struct timespec* remaining) {
  REAL(int, "nanosleep", const struct timespec*, struct timespec*);
  const int64_t start = Now();
  const int rc = real(request, remaining);
  const int64_t end = Now();
  Emit(end, "sleep", end - start, "%lld", (long long)(request->tv_sec * 1000 + request->tv_nsec / 1000000));
  return rc;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                    struct timespec* remaining) {
  REAL(int, "clock_nanosleep", clockid_t, int, const struct timespec*, struct timespec*);
  const int64_t start = Now();
  const int rc = real(clock, flags, request, remaining);
  const int64_t end = Now();
  Emit(end, "sleep", end - start, "%lld",
       (long long)(request->tv_sec * 1000 + request->tv_nsec / 1000000));
  return rc;
}

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                struct addrinfo** result) {
  REAL(int, "getaddrinfo", const char*, const char*, const struct addrinfo*, struct addrinfo**);
  const int64_t start = Now();
  const int rc = real(node, service, hints, result);
  const int64_t end = Now();
  Emit(end, "gai", end - start, "%s %d", node != NULL ? node : "-", rc);
  return rc;
}

int connect(int fd, const struct sockaddr* address, socklen_t length) {
  REAL(int, "connect", int, const struct sockaddr*, socklen_t);
  const int64_t start = Now();
  const int rc = real(fd, address, length);
  const int64_t end = Now();
  if (address != NULL && address->sa_family == AF_INET) {
    const struct sockaddr_in* ip = (const struct sockaddr_in*)address;
    Emit(end, "connect", end - start, "%u", (unsigned)ntohs(ip->sin_port));
  }
  return rc;
}

static const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != NULL ? slash + 1 : path;
}

int rename(const char* from, const char* to) {
  REAL(int, "rename", const char*, const char*);
  const int rc = real(from, to);
  Emit(Now(), "rename", 0, "%s", BaseName(to));
  return rc;
}

static int IsModuleLog(const char* path) {
  return path != NULL && strcmp(BaseName(path), "lumodownload.log") == 0;
}

FILE* fopen(const char* path, const char* mode) {
  REAL(FILE*, "fopen", const char*, const char*);
  FILE* file = real(path, mode);
  if (IsModuleLog(path)) t_logFile = file;
  return file;
}

FILE* fopen64(const char* path, const char* mode) {
  REAL(FILE*, "fopen64", const char*, const char*);
  FILE* file = real(path, mode);
  if (IsModuleLog(path)) t_logFile = file;
  return file;
}

static void EmitLogLine(const char* text, size_t length) {
  /* Drop the seconds time stamp and the line end: "<time> <level> - <message>\n". */
  const char* dash = memmem(text, length, " - ", 3);
  if (dash != NULL) {
    length -= (size_t)(dash + 3 - text);
    text = dash + 3;
  }
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  if (length > 400) length = 400;
  Emit(Now(), "log", 0, "%.*s", (int)length, text);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  REAL(size_t, "fwrite", const void*, size_t, size_t, FILE*);
  if (t_logFile != NULL && stream == t_logFile) EmitLogLine((const char*)data, size * count);
  return real(data, size, count, stream);
}

int open(const char* path, int flags, ...) {
  REAL(int, "open", const char*, int, ...);
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(args, int) : 0;
  va_end(args);
  const int fd = real(path, flags, mode);
  if (IsModuleLog(path)) t_logFd = fd;
  return fd;
}

int open64(const char* path, int flags, ...) {
  REAL(int, "open64", const char*, int, ...);
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(args, int) : 0;
  va_end(args);
  const int fd = real(path, flags, mode);
  if (IsModuleLog(path)) t_logFd = fd;
  return fd;
}

ssize_t write(int fd, const void* data, size_t length) {
  REAL(ssize_t, "write", int, const void*, size_t);
  if (fd >= 0 && fd == t_logFd) EmitLogLine((const char*)data, length);
  return real(fd, data, length);
}

int close(int fd) {
  REAL(int, "close", int);
  if (fd >= 0 && fd == t_logFd) t_logFd = -1;
  return real(fd);
}

int fclose(FILE* stream) {
  REAL(int, "fclose", FILE*);
  if (t_logFile != NULL && stream == t_logFile) t_logFile = NULL;
  return real(stream);
}
