// Strict JSON (RFC 8259) parsing into a flat node array, and decoding of the values the host reads.
// Strict on purpose: an answer that does not parse (a result text cut at its buffer's end, say) is
// reported as such instead of being half-read.
#include "tools/host_json.h"

#include <cstdio>
#include <cstring>

namespace {

struct parser {
  const char *s;
  size_t n;
  size_t pos;
  hj_doc *doc;
};

bool fail(parser *p, const char *why) {
  snprintf(p->doc->error, sizeof p->doc->error, "%s at byte %zu", why, p->pos);
  return false;
}

void skip_space(parser *p) {
  while (p->pos < p->n) {
    char c = p->s[p->pos];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
    p->pos++;
  }
}

int new_node(parser *p, int type, size_t start) {
  hj_node node = {type, -1, -1, -1, start, 0};
  p->doc->nodes.push_back(node);
  return static_cast<int>(p->doc->nodes.size()) - 1;
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

// Reads four hexadecimal digits at s (the caller has checked that they exist).
unsigned hex4(const char *s) {
  return hex_value(s[0]) << 12 | hex_value(s[1]) << 8 | hex_value(s[2]) << 4 | hex_value(s[3]);
}

bool is_high_surrogate(unsigned u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(unsigned u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Checks a string from its opening quote at p->pos; leaves pos after the closing quote. Escapes
// are checked here so that decoding later cannot fail.
bool scan_string(parser *p, int *out) {
  size_t start = ++p->pos;
  while (p->pos < p->n) {
    unsigned char c = static_cast<unsigned char>(p->s[p->pos]);
    if (c == '"') {
      int node = new_node(p, HJ_STRING, start);
      p->doc->nodes[node].len = p->pos - start;
      p->pos++;
      *out = node;
      return true;
    }
    if (c < 0x20) return fail(p, "control byte in string");
    if (c != '\\') {
      p->pos++;
      continue;
    }
    if (p->pos + 1 >= p->n) break;
    char e = p->s[p->pos + 1];
    if (strchr("\"\\/bfnrt", e) != nullptr && e != 0) {
      p->pos += 2;
      continue;
    }
    if (e != 'u') return fail(p, "bad escape");
    if (p->pos + 6 > p->n) break;
    for (int i = 2; i < 6; ++i)
      if (!is_hex(p->s[p->pos + i])) return fail(p, "bad \\u escape");
    unsigned u = hex4(p->s + p->pos + 2);
    p->pos += 6;
    if (is_low_surrogate(u)) return fail(p, "lone low surrogate");
    if (is_high_surrogate(u)) {
      if (p->pos + 6 > p->n || p->s[p->pos] != '\\' || p->s[p->pos + 1] != 'u')
        return fail(p, "lone high surrogate");
      for (int i = 2; i < 6; ++i)
        if (!is_hex(p->s[p->pos + i])) return fail(p, "bad \\u escape");
      if (!is_low_surrogate(hex4(p->s + p->pos + 2))) return fail(p, "lone high surrogate");
      p->pos += 6;
    }
  }
  return fail(p, "unterminated string");
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool scan_number(parser *p, int *out) {
  size_t start = p->pos;
  const char *s = p->s;
  size_t n = p->n;
  size_t i = p->pos;
  if (i < n && s[i] == '-') i++;
  if (i >= n || !is_digit(s[i])) return fail(p, "bad number");
  if (s[i] == '0') {
    i++;
  } else {
    while (i < n && is_digit(s[i])) i++;
  }
  if (i < n && s[i] == '.') {
    i++;
    if (i >= n || !is_digit(s[i])) return fail(p, "bad number");
    while (i < n && is_digit(s[i])) i++;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    i++;
    if (i < n && (s[i] == '+' || s[i] == '-')) i++;
    if (i >= n || !is_digit(s[i])) return fail(p, "bad number");
    while (i < n && is_digit(s[i])) i++;
  }
  int node = new_node(p, HJ_NUMBER, start);
  p->doc->nodes[node].len = i - start;
  p->pos = i;
  *out = node;
  return true;
}

bool scan_word(parser *p, const char *word, int type, int *out) {
  size_t len = strlen(word);
  if (p->n - p->pos < len || memcmp(p->s + p->pos, word, len) != 0) return fail(p, "unexpected byte");
  int node = new_node(p, type, p->pos);
  p->doc->nodes[node].len = len;
  p->pos += len;
  *out = node;
  return true;
}

bool parse_value(parser *p, int depth, int *out);

// Links `node` after `*last` under `parent`.
void append_child(parser *p, int parent, int *last, int node) {
  if (*last < 0)
    p->doc->nodes[parent].first = node;
  else
    p->doc->nodes[*last].next = node;
  *last = node;
}

bool parse_container(parser *p, int depth, int *out) {
  if (depth >= HJ_MAX_DEPTH) return fail(p, "nested too deeply");
  bool is_object = p->s[p->pos] == '{';
  char close = is_object ? '}' : ']';
  int node = new_node(p, is_object ? HJ_OBJECT : HJ_ARRAY, p->pos);
  p->pos++;
  int last = -1;
  skip_space(p);
  if (p->pos < p->n && p->s[p->pos] == close) {
    p->pos++;
  } else {
    for (;;) {
      skip_space(p);
      int child;
      if (is_object) {
        if (p->pos >= p->n || p->s[p->pos] != '"') return fail(p, "expected a key");
        if (!scan_string(p, &child)) return false;
        skip_space(p);
        if (p->pos >= p->n || p->s[p->pos] != ':') return fail(p, "expected ':'");
        p->pos++;
        int value;
        if (!parse_value(p, depth + 1, &value)) return false;
        p->doc->nodes[child].value = value;
      } else if (!parse_value(p, depth + 1, &child)) {
        return false;
      }
      append_child(p, node, &last, child);
      skip_space(p);
      if (p->pos >= p->n) return fail(p, "unterminated container");
      char c = p->s[p->pos++];
      if (c == close) break;
      if (c != ',') {
        p->pos--;
        return fail(p, "expected ',' or a closing bracket");
      }
    }
  }
  p->doc->nodes[node].len = p->pos - p->doc->nodes[node].start;
  *out = node;
  return true;
}

bool parse_value(parser *p, int depth, int *out) {
  skip_space(p);
  if (p->pos >= p->n) return fail(p, "expected a value");
  switch (p->s[p->pos]) {
    case '{':
    case '[': return parse_container(p, depth, out);
    case '"': return scan_string(p, out);
    case 't': return scan_word(p, "true", HJ_TRUE, out);
    case 'f': return scan_word(p, "false", HJ_FALSE, out);
    case 'n': return scan_word(p, "null", HJ_NULL, out);
    default: return scan_number(p, out);
  }
}

void put_utf8(unsigned cp, std::string *out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | cp >> 6));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | cp >> 12));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | cp >> 18));
    out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool valid_node(const hj_doc *doc, int node) {
  return node >= 0 && static_cast<size_t>(node) < doc->nodes.size();
}

}  // namespace

bool hj_parse(const char *text, size_t len, hj_doc *doc) {
  doc->text = text;
  doc->nodes.clear();
  doc->error[0] = 0;
  parser p = {text, len, 0, doc};
  int top;
  if (!parse_value(&p, 0, &top)) {
    doc->nodes.clear();
    return false;
  }
  skip_space(&p);
  if (p.pos != len) {
    fail(&p, "text after the value");
    doc->nodes.clear();
    return false;
  }
  return true;
}

int hj_get(const hj_doc *doc, int object, const char *key) {
  if (!valid_node(doc, object) || doc->nodes[object].type != HJ_OBJECT) return -1;
  std::string name;
  for (int k = doc->nodes[object].first; k >= 0; k = doc->nodes[k].next) {
    // Keys without escapes, which is every key the library writes, compare in place.
    const hj_node &kn = doc->nodes[k];
    if (memchr(doc->text + kn.start, '\\', kn.len) == nullptr) {
      if (kn.len == strlen(key) && memcmp(doc->text + kn.start, key, kn.len) == 0) return kn.value;
      continue;
    }
    if (hj_string(doc, k, &name) && name == key) return kn.value;
  }
  return -1;
}

bool hj_string(const hj_doc *doc, int node, std::string *out) {
  if (!valid_node(doc, node) || doc->nodes[node].type != HJ_STRING) return false;
  const char *s = doc->text + doc->nodes[node].start;
  size_t n = doc->nodes[node].len;
  out->clear();
  out->reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (s[i] != '\\') {
      out->push_back(s[i]);
      continue;
    }
    char e = s[++i];
    switch (e) {
      case 'b': out->push_back('\b'); break;
      case 'f': out->push_back('\f'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'u': {
        unsigned cp = hex4(s + i + 1);
        i += 4;
        if (is_high_surrogate(cp)) {  // hj_parse has checked that the low half follows
          unsigned low = hex4(s + i + 3);
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
        put_utf8(cp, out);
        break;
      }
      default: out->push_back(e); break;  // the quote, the backslash and the slash
    }
  }
  return true;
}

bool hj_int(const hj_doc *doc, int node, long long *out) {
  if (!valid_node(doc, node) || doc->nodes[node].type != HJ_NUMBER) return false;
  const char *s = doc->text + doc->nodes[node].start;
  size_t n = doc->nodes[node].len;
  size_t i = 0;
  bool negative = s[0] == '-';
  if (negative) i++;
  // Accumulated as a negative number so that the most negative value fits too.
  long long v = 0;
  const long long min = -9223372036854775807LL - 1;
  for (; i < n; ++i) {
    if (!is_digit(s[i])) return false;  // a fraction or an exponent
    int d = s[i] - '0';
    if (v < (min + d) / 10) return false;
    v = v * 10 - d;
  }
  if (!negative) {
    if (v == min) return false;
    v = -v;
  }
  *out = v;
  return true;
}

bool hj_bool(const hj_doc *doc, int node, bool *out) {
  if (!valid_node(doc, node)) return false;
  int type = doc->nodes[node].type;
  if (type != HJ_TRUE && type != HJ_FALSE) return false;
  *out = type == HJ_TRUE;
  return true;
}

bool hj_get_string(const hj_doc *doc, int object, const char *key, std::string *out) {
  return hj_string(doc, hj_get(doc, object, key), out);
}

bool hj_get_int(const hj_doc *doc, int object, const char *key, long long *out) {
  return hj_int(doc, hj_get(doc, object, key), out);
}

bool hj_get_bool(const hj_doc *doc, int object, const char *key, bool *out) {
  return hj_bool(doc, hj_get(doc, object, key), out);
}
