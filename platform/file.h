// Opening the dump file by its UTF-8 name. The configuration carries paths as UTF-8 text; the
// narrow fopen of the Windows C runtime reads them in the ANSI code page, which turns every
// non-ASCII letter into another name, so there the name goes through the wide-character API.
#ifndef MDUMP_PLATFORM_FILE_H
#define MDUMP_PLATFORM_FILE_H

#include <cstdio>

// Creates or truncates the file for binary writing. nullptr when it cannot be opened, also when
// the name is not valid UTF-8 (Windows).
FILE *plat_fopen_write(const char *utf8_path);

#endif
