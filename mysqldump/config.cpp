// Configuration intake: a flat tokenizer over the JSON text and a walk over its tokens that fills
// an mdump_config. Lenient about structure (missing commas, stray colons and trailing text pass),
// strict about characters and escapes, and never allocating.
#include "mysqldump/config.h"

#include <climits>
#include <cstring>

namespace {

bool is_container(const cfg_token &t) {
  return t.kind == CFG_TOK_OBJECT || t.kind == CFG_TOK_ARRAY;
}

// Index of the open container with the highest index below `below`, or -1.
int32_t innermost_open(const cfg_token *toks, int32_t below) {
  for (int32_t i = below - 1; i >= 0; --i)
    if (is_container(toks[i]) && toks[i].end == -1) return i;
  return -1;
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the four hex digits at s, or -1 if fewer than four of the `avail` bytes are
// hex digits.
long hex4(const char *s, size_t avail) {
  if (avail < 4) return -1;
  long v = 0;
  for (int k = 0; k < 4; ++k) {
    int d = hex_value(static_cast<unsigned char>(s[k]));
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

struct tokenizer {
  cfg_token *toks;
  int32_t count;
  int32_t parent;
};

// Makes a token and counts it under the current parent. Returns its index, or -1 when full.
int32_t make_token(tokenizer *tz, int32_t kind, int32_t start, int32_t end) {
  if (tz->count >= CFG_MAX_TOKENS) return -1;
  int32_t idx = tz->count++;
  tz->toks[idx] = cfg_token{kind, start, end, 0};
  if (tz->parent != -1) tz->toks[tz->parent].child_count++;
  return idx;
}

// Scans the string whose opening quote is at p. Returns the index of its closing quote, or -1.
int32_t scan_string(const char *text, int32_t n, int32_t p) {
  int32_t q = p + 1;
  while (q < n) {
    unsigned char c = static_cast<unsigned char>(text[q]);
    if (c == '"') return q;
    if (c != '\\') {
      ++q;
      continue;
    }
    if (q + 1 >= n) return -1;
    switch (text[q + 1]) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        q += 2;
        break;
      case 'u': {
        long unit = hex4(text + q + 2, static_cast<size_t>(n - (q + 2)));
        // \u0000 would decode to a byte that a zero-terminated field cannot hold.
        if (unit <= 0) return -1;
        q += 6;
        break;
      }
      default:
        return -1;
    }
  }
  return -1;
}

bool ends_primitive(unsigned char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == ',' || c == ':' || c == ']' ||
         c == '}';
}

}  // namespace

int cfg_tokenize(const char *text, int32_t n, cfg_token *toks) {
  tokenizer tz{toks, 0, -1};
  int32_t p = 0;
  while (p < n) {
    unsigned char c = static_cast<unsigned char>(text[p]);
    switch (c) {
      case '{':
      case '[': {
        int32_t idx = make_token(&tz, c == '{' ? CFG_TOK_OBJECT : CFG_TOK_ARRAY, p, -1);
        if (idx < 0) return -1;
        tz.parent = idx;
        ++p;
        break;
      }
      case '}':
      case ']': {
        int32_t open = innermost_open(toks, tz.count);
        if (open < 0) return -1;
        if (toks[open].kind != (c == '}' ? CFG_TOK_OBJECT : CFG_TOK_ARRAY)) return -1;
        toks[open].end = p + 1;
        tz.parent = innermost_open(toks, open);
        ++p;
        break;
      }
      case '"': {
        int32_t close = scan_string(text, n, p);
        if (close < 0) return -1;
        if (make_token(&tz, CFG_TOK_STRING, p + 1, close) < 0) return -1;
        p = close + 1;
        break;
      }
      case '\t': case '\n': case '\r': case ' ':
        ++p;
        break;
      case ':':
        tz.parent = tz.count - 1;
        ++p;
        break;
      case ',':
        if (tz.parent != -1 && !is_container(toks[tz.parent])) {
          int32_t open = innermost_open(toks, tz.count);
          if (open != -1) tz.parent = open;
        }
        ++p;
        break;
      default: {
        int32_t q = p;
        while (q < n) {
          unsigned char b = static_cast<unsigned char>(text[q]);
          if (ends_primitive(b)) break;
          if (b < 0x20 || b > 0x7E) return -1;
          ++q;
        }
        if (make_token(&tz, CFG_TOK_PRIMITIVE, p, q) < 0) return -1;
        p = q;
        break;
      }
    }
  }
  if (innermost_open(toks, tz.count) != -1) return -1;
  if (tz.count == 0 || toks[0].kind != CFG_TOK_OBJECT) return -1;
  return tz.count;
}

namespace {

size_t put_utf8(char *dst, unsigned long cp) {
  if (cp < 0x80) {
    dst[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    dst[0] = static_cast<char>(0xC0 | (cp >> 6));
    dst[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    dst[0] = static_cast<char>(0xE0 | (cp >> 12));
    dst[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    dst[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  dst[0] = static_cast<char>(0xF0 | (cp >> 18));
  dst[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  dst[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  dst[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

const unsigned long REPLACEMENT_CHAR = 0xFFFD;

// The code unit of a \uXXXX escape at s[at], or -1. Only `avail` bytes from `at` may be read.
long unicode_escape_at(const char *s, size_t at, size_t avail) {
  if (avail < 6 || s[at] != '\\' || s[at + 1] != 'u') return -1;
  return hex4(s + at + 2, 4);
}

}  // namespace

void tok_copy(const char *text, const cfg_token *tok, char *dst, size_t dst_size) {
  if (dst_size == 0) return;
  const char *s = text + tok->start;
  size_t len = tok->end > tok->start ? static_cast<size_t>(tok->end - tok->start) : 0;
  size_t cap = len < dst_size - 1 ? len : dst_size - 1;
  size_t r = 0, w = 0;
  // Every escape decodes to no more bytes than it is written with, so w never passes r.
  while (r < cap) {
    char c = s[r];
    if (c != '\\') {
      dst[w++] = c;
      ++r;
      continue;
    }
    if (r + 1 >= cap) {  // a backslash cut off from its escape stays as it is
      dst[w++] = '\\';
      break;
    }
    char e = s[r + 1];
    if (e != 'u') {
      switch (e) {
        case 'r': dst[w++] = '\r'; break;
        case 't': dst[w++] = '\t'; break;
        case 'n': dst[w++] = '\n'; break;
        case 'b': dst[w++] = '\b'; break;
        case 'f': dst[w++] = '\f'; break;
        default: dst[w++] = e; break;
      }
      r += 2;
      continue;
    }
    long unit = unicode_escape_at(s, r, cap - r);
    if (unit < 0) {
      // A whole escape that the read limit cuts is dropped with the rest of the value. Anything
      // else is not an escape (only a primitive can hold one): the u stands for itself.
      if (unicode_escape_at(s, r, len - r) >= 0) break;
      dst[w++] = 'u';
      r += 2;
      continue;
    }
    unsigned long cp = static_cast<unsigned long>(unit);
    size_t used = 6;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      long low = unicode_escape_at(s, r + 6, cap - (r + 6));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<unsigned long>(low) - 0xDC00);
        used = 12;
      } else {
        long whole = r + 6 <= len ? unicode_escape_at(s, r + 6, len - (r + 6)) : -1;
        if (whole >= 0xDC00 && whole <= 0xDFFF) break;  // the pair's second half is cut off
        cp = REPLACEMENT_CHAR;
      }
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      cp = REPLACEMENT_CHAR;
    } else if (cp == 0) {
      break;  // a zero byte cannot live inside a terminated field
    }
    w += put_utf8(dst + w, cp);
    r += used;
  }
  dst[w] = 0;
}

namespace {

void set_defaults(mdump_config *cfg) {
  memset(cfg, 0, sizeof *cfg);
  memcpy(cfg->host, "127.0.0.1", sizeof "127.0.0.1");
  cfg->port = 3306;
  cfg->include_schema = 1;
  cfg->include_data = 1;
  cfg->rows_per_insert = 100;
}

bool key_is(const char *text, const cfg_token &key, const char *name) {
  size_t len = strlen(name);
  return static_cast<size_t>(key.end - key.start) == len && memcmp(text + key.start, name, len) == 0;
}

bool raw_equals(const char *text, const cfg_token &tok, const char *word) {
  return key_is(text, tok, word);
}

// atoi, but a value beyond the int range stops at INT_MIN or INT_MAX.
int32_t atoi_saturating(const char *s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  long long v = 0;
  const long long limit = static_cast<long long>(INT32_MAX) + 1;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > limit) v = limit;
  }
  if (negative) return static_cast<int32_t>(-v);
  return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : v);
}

// The number in a value's raw text, or `fallback` when the text is 32 bytes or longer.
int32_t raw_number(const char *text, const cfg_token &tok, int32_t fallback) {
  int32_t len = tok.end - tok.start;
  if (len < 0 || len > 31) return fallback;
  char buf[32];
  memcpy(buf, text + tok.start, static_cast<size_t>(len));
  buf[len] = 0;
  return atoi_saturating(buf);
}

// The index after v and everything nested inside it, starting the search at i.
int32_t skip_nested(const cfg_token *toks, int32_t count, int32_t i, const cfg_token &v) {
  while (i < count && toks[i].start < v.end && toks[i].end <= v.end) ++i;
  return i;
}

int32_t take_tables(const char *text, const cfg_token *toks, int32_t count, int32_t i,
                    const cfg_token &list, mdump_config *cfg) {
  if (list.kind != CFG_TOK_ARRAY) return i;
  for (int32_t k = 0; k < list.child_count && i < count; ++k) {
    const cfg_token &el = toks[i];
    if (el.kind == CFG_TOK_STRING) {
      if (cfg->table_count < MDUMP_MAX_TABLES)
        tok_copy(text, &el, cfg->tables[cfg->table_count++], MDUMP_NAME_SIZE);
      else
        cfg->tables_dropped++;
    }
    i = skip_nested(toks, count, i + 1, el);
  }
  return i;
}

void walk_keys(const char *text, const cfg_token *toks, int32_t count, mdump_config *cfg) {
  int32_t i = 1;
  while (i < count) {
    if (toks[i].kind != CFG_TOK_STRING) {
      ++i;
      continue;
    }
    // A key that is the last token has no value: it is ignored.
    if (i + 1 >= count) break;
    const cfg_token &key = toks[i];
    const cfg_token &v = toks[i + 1];
    i += 2;
    if (key_is(text, key, "host")) {
      tok_copy(text, &v, cfg->host, sizeof cfg->host);
    } else if (key_is(text, key, "port")) {
      cfg->port = raw_number(text, v, 3306);
    } else if (key_is(text, key, "user")) {
      tok_copy(text, &v, cfg->user, sizeof cfg->user);
    } else if (key_is(text, key, "password")) {
      tok_copy(text, &v, cfg->password, sizeof cfg->password);
    } else if (key_is(text, key, "database")) {
      tok_copy(text, &v, cfg->database, sizeof cfg->database);
    } else if (key_is(text, key, "out_path")) {
      tok_copy(text, &v, cfg->out_path, sizeof cfg->out_path);
    } else if (key_is(text, key, "include_schema")) {
      cfg->include_schema = raw_equals(text, v, "false") ? 0 : 1;
    } else if (key_is(text, key, "include_data")) {
      cfg->include_data = raw_equals(text, v, "false") ? 0 : 1;
    } else if (key_is(text, key, "include_drop")) {
      cfg->include_drop = raw_equals(text, v, "true") ? 1 : 0;
    } else if (key_is(text, key, "rows_per_insert")) {
      int32_t rows = raw_number(text, v, 100);
      cfg->rows_per_insert = rows < 1 ? 1 : rows > 1000 ? 1000 : rows;
    } else if (key_is(text, key, "tables")) {
      i = take_tables(text, toks, count, i, v, cfg);
    } else {
      i = skip_nested(toks, count, i, v);
    }
  }
}

}  // namespace

int parse_config(const char *text, mdump_config *cfg) {
  set_defaults(cfg);
  size_t n = strlen(text);
  // Token positions are 32-bit; no real document comes near that size.
  if (n == 0 || n >= static_cast<size_t>(INT32_MAX)) return -1;
  cfg_token toks[CFG_MAX_TOKENS];
  int count = cfg_tokenize(text, static_cast<int32_t>(n), toks);
  if (count < 0) return -1;
  walk_keys(text, toks, count, cfg);
  return 0;
}
