// The functions a host calls. Everything else in the library is internal.
#include "quillfen_mysqldump.h"

#include "mysqldump/lib_frame.h"

extern "C" {

MDUMP_API const char *mdump_version(void) { return MDUMP_VERSION_TEXT; }

MDUMP_API const char *mdump_last_error(void) { return g_err; }

}  // extern "C"
