/* A complete minimal host in C: loads the downloader from its own folder, downloads the URLs
 * given on the command line (mirrors of one file) into a folder, prints the completed files.
 *   sample_host <save-folder> <url> [<mirror-url>...]
 * Exit status: 0 done, 1 the file failed, 2 usage or load error. */
#ifndef _WIN32
#define _DEFAULT_SOURCE /* readlink, usleep */
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lumo/lumo_downloader.h"

#ifdef _WIN32
#include <windows.h>
#define SLEEP_MS(ms) Sleep(ms)
typedef HMODULE Library;
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#define SLEEP_MS(ms) usleep((ms) * 1000)
typedef void* Library;
#endif

/* Host strings: the module only ever calls assign. */
static char gText[65536];
static void LUMO_CDECL AssignText(void* context, const char* text, uint32_t length) {
  (void)context;
  if (length >= sizeof gText) length = sizeof gText - 1;
  memcpy(gText, text, length);
  gText[length] = 0;
}

#ifdef _WIN32
/* The plug-in's folder, never the current directory or PATH: a full path to LoadLibraryW. */
static Library LoadFromOwnFolder(void) {
  wchar_t path[MAX_PATH + 32];
  DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
  wchar_t* slash;
  if (length == 0 || length >= MAX_PATH) return NULL;
  slash = wcsrchr(path, L'\\');
  if (slash == NULL) return NULL;
  wcscpy(slash + 1, L"lumodownload.dll");
  return LoadLibraryW(path);
}
static void* Symbol(Library library, const char* name) {
  return (void*)(INT_PTR)GetProcAddress(library, name);
}
static void Unload(Library library) { FreeLibrary(library); }
#else
#ifdef LUMO_SAMPLE_MODULE
/* Built against an installed package: the module's installed path. */
static Library LoadFromOwnFolder(void) { return dlopen(LUMO_SAMPLE_MODULE, RTLD_NOW | RTLD_LOCAL); }
#else
static Library LoadFromOwnFolder(void) {
  char path[PATH_MAX + 32];
  ssize_t length;
  char* slash;
  length = readlink("/proc/self/exe", path, PATH_MAX);
  if (length <= 0) return NULL;
  path[length] = 0;
  slash = strrchr(path, '/');
  if (slash == NULL) return NULL;
  strcpy(slash + 1, "liblumodownload.so");
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
#endif
static void* Symbol(Library library, const char* name) { return dlsym(library, name); }
static void Unload(Library library) { dlclose(library); }
#endif

/* A command-line text (the ANSI code page on Windows, UTF-8 elsewhere) to the module's UTF-16. */
static void ToWide(const char* text, LumoWChar* out, size_t capacity) {
#ifdef _WIN32
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, out, (int)capacity) == 0) out[0] = 0;
#else
  size_t n = 0;
  const unsigned char* p = (const unsigned char*)text;
  while (*p != 0 && n + 2 < capacity) {
    unsigned long c = *p++;
    int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (more > 0) c &= 0x3Fu >> more;
    while (more-- > 0 && (*p & 0xC0) == 0x80) c = (c << 6) | (*p++ & 0x3Fu);
    if (c >= 0x10000) {
      c -= 0x10000;
      out[n++] = (LumoWChar)(0xD800 + (c >> 10));
      out[n++] = (LumoWChar)(0xDC00 + (c & 0x3FF));
    } else {
      out[n++] = (LumoWChar)c;
    }
  }
  out[n] = 0;
#endif
}

int main(int argc, char** argv) {
  Library library;
  LumoInitFn init;
  LumoTermFn term;
  LumoGetObjectFn getObject;
  ILumoDownloader* downloader = NULL;
  LumoString text = {NULL, AssignText};
  LumoWChar saveDir[1024];
  DownloadStatus status;
  uint32_t state = 0, average = 0, current = 0;
  uint64_t bytes = 0;
  int32_t code;
  int failed;

  if (argc < 3) {
    fprintf(stderr, "usage: %s <save-folder> <url> [<mirror-url>...]\n", argv[0]);
    return 2;
  }
  library = LoadFromOwnFolder();
  if (library == NULL) {
    fprintf(stderr, "cannot load the downloader module from this program's folder\n");
    return 2;
  }
  init = (LumoInitFn)Symbol(library, "mod_lumoinit");
  term = (LumoTermFn)Symbol(library, "mod_lumoterm");
  getObject = (LumoGetObjectFn)Symbol(library, "mod_lumogetobject");
  if (init == NULL || term == NULL || getObject == NULL) return 2;

  /* Once per process, before any other call. */
  code = init(&text);
  if (code < 0) {
    fprintf(stderr, "mod_lumoinit failed: 0x%08lX %s\n", (unsigned long)code, gText);
    term();
    return 2;
  }
  code = getObject(&IID_ILumoDownloader, (void**)&downloader);
  if (code < 0 || downloader == NULL) {
    term();
    return 2;
  }

  ToWide(argv[1], saveDir, sizeof saveDir / sizeof saveDir[0]);
  code = downloader->lpVtbl->AddDownload(downloader, (const char* const*)(argv + 2),
                                         (uint32_t)(argc - 2), saveDir, NULL, NULL, 0, NULL);
  if (code >= 0) code = downloader->lpVtbl->Start(downloader);
  if (code < 0) fprintf(stderr, "the job was refused: 0x%08lX\n", (unsigned long)code);

  /* Poll from one thread; RunState 2 means the queue ran empty, 5 to 7 a disk halt. */
  while (code >= 0) {
    downloader->lpVtbl->GetProgress(downloader, &state, &bytes, &average, &current, &text);
    if (state == kLumoRunStateIdle || state >= kLumoRunStateDiskFull) break;
    printf("\r%llu bytes, %lu B/s   ", (unsigned long long)bytes, (unsigned long)current);
    fflush(stdout);
    SLEEP_MS(200);
  }
  downloader->lpVtbl->GetStatistics(downloader, &status);
  failed = code < 0 || status.words[kLumoWordUnfinishedCount] != 0 || state != kLumoRunStateIdle;
  gText[0] = 0;
  downloader->lpVtbl->GetCompletedFiles(downloader, &text);
  printf("\ncompleted: %s\n", gText);

  /* Release the object, then end the module; only then may the library go. */
  downloader->lpVtbl->Release(downloader);
  term();
  Unload(library);
  return failed ? 1 : 0;
}
