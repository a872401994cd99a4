// Everything the host does differently on POSIX systems and on Windows: loading the library and
// resolving its eleven functions, asking for a password without echo, the terminal, interrupts
// and sleeping. The rest of the host is plain portable C++.
#ifndef QUILLFEN_HOST_PLATFORM_H
#define QUILLFEN_HOST_PLATFORM_H

#include <cstdio>
#include <string>
#include <vector>

// The library's exported functions, as an application reaches them: by name, at run time.
struct mdump_api {
  void *handle;
  const char *(*version)(void);
  const char *(*last_error)(void);
  const char *(*test_connection)(const char *config_json);
  const char *(*list_databases)(const char *config_json);
  const char *(*list_tables)(const char *config_json);
  int (*start)(const char *config_json);
  int (*status)(int session);
  const char *(*progress)(int session);
  const char *(*result)(int session);
  void (*cancel)(int session);
  void (*free_session)(int session);
};

// Where to look for the library, in order: `explicit_path` (--library), then the environment
// variable QUILLFEN_MYSQLDUMP_LIBRARY; when neither is set, next to the program, in the library
// directory of the program's installation, and finally the system loader's own search.
std::vector<std::string> host_library_candidates(const std::string &explicit_path, const char *argv0);

// Loads the first candidate that loads and has all eleven functions. On failure *error lists
// every place tried and why it failed.
bool host_load_library(const std::vector<std::string> &candidates, mdump_api *api,
                       std::string *loaded_from, std::string *error);

// Reads one line from the terminal with echo off, showing `prompt` first; without a terminal, reads
// one line from standard input. The terminal is restored even when the user interrupts.
bool host_read_password(const char *prompt, std::string *out, std::string *error);

bool host_is_terminal(FILE *f);
int host_terminal_width(FILE *f);  // 80 when unknown

// The name the MySQL clients use as the default account: the login name.
std::string host_login_name();

// From now on the first Ctrl-C (or SIGTERM) only raises a flag; a second one ends the process.
void host_catch_interrupts();
// The signal number caught (SIGINT is 2), or 0.
int host_interrupted();

// Sleeps, returning early when an interrupt arrives.
void host_sleep_ms(int ms);

// Makes argv UTF-8, the encoding the library takes paths and names in. Windows hands a program
// its arguments in the ANSI code page, where a non-ASCII file name is lost; elsewhere this does
// nothing.
void host_utf8_arguments(int *argc, char ***argv);

#endif
