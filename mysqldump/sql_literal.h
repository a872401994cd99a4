// Values as SQL literals in the dump text: a string between single quotes with the six bytes a
// server's string parser would misread written as backslash pairs, and binary data as 0x followed
// by upper-case hexadecimal digits. These two loops carry most of a dump's bytes, so they write
// in place into the writer's buffer and store a word with nothing to escape whole.
#ifndef MDUMP_SQL_LITERAL_H
#define MDUMP_SQL_LITERAL_H

#include <cstdint>

#include "mysqldump/dump_writer.h"

// 'text' with NUL, line feed, carriage return, Ctrl-Z, single quote and backslash escaped as \0,
// \n, \r, \Z, \' and \\; every other byte unchanged. Returns 0, or -1 when a write failed.
int sql_put_string(dump_writer *w, const unsigned char *data, uint64_t len);
// 0x and two upper-case hexadecimal digits per byte (the caller writes '' for an empty value).
int sql_put_hex(dump_writer *w, const unsigned char *data, uint64_t len);

#endif
