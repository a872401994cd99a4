/* quillfen-mysqldump: back up one MySQL database into a plain SQL text file.
 *
 * A host loads the library and calls these eleven functions. Calls that talk to a server take one
 * configuration text in JSON and answer in JSON; every returned pointer points into storage the
 * library owns (the host never frees it). Usable from C and C++.
 *
 * Threads: the three catalogue calls, mdump_start and mdump_free share the library's answer and
 * error buffers and its choice of sessions, so a host runs them from one thread at a time.
 * mdump_status, mdump_progress, mdump_result and mdump_cancel may be called at any time. */
#ifndef QUILLFEN_MYSQLDUMP_H
#define QUILLFEN_MYSQLDUMP_H

#if defined(_WIN32)
#  if defined(MDUMP_BUILDING)
#    define MDUMP_API __declspec(dllexport)
#  else
#    define MDUMP_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define MDUMP_API __attribute__((visibility("default")))
#else
#  define MDUMP_API
#endif

#define MDUMP_VERSION_TEXT "quillfen-mysqldump 1.0.0"

/* Session states, as answered by mdump_status. */
#define MDUMP_ST_IDLE 0
#define MDUMP_ST_CONNECTING 1
#define MDUMP_ST_RUNNING 2
#define MDUMP_ST_DONE 3
#define MDUMP_ST_CANCELLED 4
#define MDUMP_ST_ERROR 5

#ifdef __cplusplus
extern "C" {
#endif

/* The constant version text. */
MDUMP_API const char *mdump_version(void);
/* The text of the most recent failure of a catalogue call or mdump_start ("" if none yet). */
MDUMP_API const char *mdump_last_error(void);

/* Catalogue calls: run on the caller's thread and answer JSON in a buffer that the next
 * catalogue call overwrites. */
MDUMP_API const char *mdump_test_connection(const char *config_json);
MDUMP_API const char *mdump_list_databases(const char *config_json);
MDUMP_API const char *mdump_list_tables(const char *config_json);

/* Dump sessions: start answers a session number 0..3, -1 (see mdump_last_error) or -2 (all busy). */
MDUMP_API int mdump_start(const char *config_json);
MDUMP_API int mdump_status(int session);
MDUMP_API const char *mdump_progress(int session);
MDUMP_API const char *mdump_result(int session);
MDUMP_API void mdump_cancel(int session);
MDUMP_API void mdump_free(int session);

#ifdef __cplusplus
}
#endif

#endif
