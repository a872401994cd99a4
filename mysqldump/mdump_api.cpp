// The functions a host calls. Everything else in the library is internal.
#include "quillfen_mysqldump.h"

#include "mysqldump/catalogue.h"
#include "mysqldump/lib_frame.h"
#include "mysqldump/session_calls.h"

extern "C" {

MDUMP_API const char *mdump_version(void) { return MDUMP_VERSION_TEXT; }

MDUMP_API const char *mdump_last_error(void) { return g_err; }

MDUMP_API const char *mdump_test_connection(const char *config_json) {
  return catalogue_test_connection(config_json);
}

MDUMP_API const char *mdump_list_databases(const char *config_json) {
  return catalogue_list_databases(config_json);
}

MDUMP_API const char *mdump_list_tables(const char *config_json) {
  return catalogue_list_tables(config_json);
}

MDUMP_API int mdump_start(const char *config_json) { return session_start(config_json); }

MDUMP_API int mdump_status(int session) { return session_status(session); }

MDUMP_API const char *mdump_progress(int session) { return session_progress(session); }

MDUMP_API const char *mdump_result(int session) { return session_result(session); }

MDUMP_API void mdump_cancel(int session) { session_cancel(session); }

MDUMP_API void mdump_free(int session) { session_free(session); }

}  // extern "C"
