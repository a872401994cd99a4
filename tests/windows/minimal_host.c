/* A minimal Windows host of quillfen-mysqldump.dll, the one the README shows: it loads the DLL at
 * run time, starts one dump with the JSON configuration read from a file, polls the progress until
 * the dump ends, prints the result and frees the session.
 *
 *   minimal_host CONFIG.json      exit status 0 when the dump is complete */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

typedef int (*start_fn)(const char *config_json);
typedef int (*status_fn)(int session);
typedef const char *(*session_text_fn)(int session);
typedef void (*session_fn)(int session);
typedef const char *(*text_fn)(void);

/* GetProcAddress answers a generic function pointer; going through void (*)(void) is the cast
 * compilers accept between function pointer types without a warning. */
#define FIND(type, name) ((type)(void (*)(void))GetProcAddress(dll, name))

static char *read_file(const char *path) {
  FILE *f = fopen(path, "rb");
  char *text;
  long n;
  if (f == NULL) return NULL;
  fseek(f, 0, SEEK_END);
  n = ftell(f);
  fseek(f, 0, SEEK_SET);
  text = n >= 0 ? malloc((size_t)n + 1) : NULL;
  if (text != NULL && fread(text, 1, (size_t)n, f) == (size_t)n) {
    text[n] = 0;
  } else {
    free(text);
    text = NULL;
  }
  fclose(f);
  return text;
}

int main(int argc, char **argv) {
  char *config;
  HMODULE dll;
  start_fn start;
  status_fn status;
  session_text_fn progress, result;
  session_fn free_session;
  text_fn last_error;
  int session, state;

  if (argc != 2 || (config = read_file(argv[1])) == NULL) {
    fprintf(stderr, "usage: minimal_host CONFIG.json\n");
    return 2;
  }
  /* The configuration is UTF-8 JSON, out_path included: the DLL opens that file by its wide
   * name, so any letters work whatever the system's code page. */
  dll = LoadLibraryW(L"quillfen-mysqldump.dll");
  if (dll == NULL) {
    fprintf(stderr, "cannot load quillfen-mysqldump.dll (error %lu)\n", GetLastError());
    return 1;
  }
  start = FIND(start_fn, "mdump_start");
  status = FIND(status_fn, "mdump_status");
  progress = FIND(session_text_fn, "mdump_progress");
  result = FIND(session_text_fn, "mdump_result");
  free_session = FIND(session_fn, "mdump_free");
  last_error = FIND(text_fn, "mdump_last_error");
  if (!start || !status || !progress || !result || !free_session || !last_error) {
    fprintf(stderr, "quillfen-mysqldump.dll lacks a function\n");
    return 1;
  }

  session = start(config);
  free(config);
  if (session < 0) {
    fprintf(stderr, "no dump: %s\n", session == -2 ? "all four sessions busy" : last_error());
    return 1;
  }
  /* 1 connecting, 2 running; 3 done, 4 cancelled, 5 failed. */
  while ((state = status(session)) == 1 || state == 2) {
    fprintf(stderr, "%s\n", progress(session));
    Sleep(250);
  }
  printf("%s\n", result(session));
  free_session(session); /* the strings the DLL answered are gone from here on */
  FreeLibrary(dll);
  return state == 3 ? 0 : 1;
}
