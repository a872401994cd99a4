// Storage for the two library-wide text buffers. Both are zero at load: g_err starts as the empty
// text, and nothing else needs initialising.
#include "mysqldump/lib_frame.h"

#include <cstdarg>
#include <cstdio>

char g_err[MDUMP_ERR_SIZE];
char g_sync_buf[MDUMP_SYNC_BUF_SIZE];

void set_g_err(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(g_err, sizeof g_err, fmt, ap);  // cuts and terminates
  va_end(ap);
}
