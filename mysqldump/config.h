// The configuration document every server-facing call receives, the record it is parsed into, and
// the library's own flat JSON tokenizer. Parsing allocates nothing.
#ifndef MDUMP_CONFIG_H
#define MDUMP_CONFIG_H

#include <cstddef>
#include <cstdint>

enum {
  MDUMP_MAX_TABLES = 512,
  // A table or database name is at most 64 characters (192 bytes). A configured name is read
  // from its raw JSON text, where each of those characters may be a six-byte \u escape: 384
  // bytes and the terminator.
  MDUMP_NAME_SIZE = 385,
  CFG_MAX_TOKENS = 1600,
};

enum {
  CFG_TOK_OBJECT = 1,
  CFG_TOK_ARRAY = 2,
  CFG_TOK_STRING = 4,
  CFG_TOK_PRIMITIVE = 8,
};

struct mdump_config {
  char host[256];
  int32_t port;
  char user[128];
  char password[256];
  char database[MDUMP_NAME_SIZE];
  char out_path[1024];
  char tables[MDUMP_MAX_TABLES][MDUMP_NAME_SIZE];
  int32_t table_count;
  int32_t include_schema;
  int32_t include_data;
  int32_t include_drop;
  int32_t rows_per_insert;
  // Table names the document gave beyond MDUMP_MAX_TABLES, which `tables` could not hold. A caller
  // that dumps the list refuses a document where this is not 0 rather than dump part of it.
  int32_t tables_dropped;
};

// One token: [start, end) is the raw text. Strings exclude their quotes and keep escapes as
// written; an object or array still open has end -1.
struct cfg_token {
  int32_t kind;
  int32_t start;
  int32_t end;
  int32_t child_count;
};

// Parses `text` (never null) into `cfg`. Returns 0 when accepted, -1 when not; on -1 `cfg` holds
// exactly the defaults.
int parse_config(const char *text, mdump_config *cfg);

// Tokenizes the first n bytes of `text` into `toks` (room for CFG_MAX_TOKENS). Returns the number
// of tokens made, or -1 when the document is rejected.
int cfg_tokenize(const char *text, int32_t n, cfg_token *toks);

// Copies the raw text of `tok` into `dst`, decoding JSON escapes and reading at most dst_size - 1
// bytes of the raw text. Always terminates `dst`.
void tok_copy(const char *text, const cfg_token *tok, char *dst, size_t dst_size);

#endif
