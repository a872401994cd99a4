// A small strict JSON reader for the host: the library answers in JSON and the host needs a few
// members of each answer (ok, error, state, counters, lists). The text is parsed once into a flat
// array of nodes that point back into it; strings are decoded only when asked for.
#ifndef QUILLFEN_HOST_JSON_H
#define QUILLFEN_HOST_JSON_H

#include <cstddef>
#include <string>
#include <vector>

enum hj_type { HJ_NULL, HJ_FALSE, HJ_TRUE, HJ_NUMBER, HJ_STRING, HJ_ARRAY, HJ_OBJECT };

enum { HJ_MAX_DEPTH = 64 };

// One value. An array's elements are linked through `next` from `first`; an object's members are
// its key nodes (strings) linked the same way, each key's `value` being the member's value.
// [start, start + len) is the raw text: a string's content without its quotes (escapes as
// written), a number's digits, a container's whole bracketed text.
struct hj_node {
  int type;
  int first;  // first element or key, -1 when empty
  int next;   // next sibling, -1 at the end
  int value;  // for an object's key: its value
  size_t start;
  size_t len;
};

struct hj_doc {
  const char *text = nullptr;
  std::vector<hj_node> nodes;  // node 0 is the top-level value
  char error[96] = "";         // why hj_parse refused the text
};

// Parses exactly one JSON value, with optional white space around it. Returns false (and says
// why in doc->error) on anything else. `text` must outlive the document.
bool hj_parse(const char *text, size_t len, hj_doc *doc);

// The value of member `key` of object node `object`, or -1 (also when `object` is not an object).
int hj_get(const hj_doc *doc, int object, const char *key);

// Typed reads; false when the node is absent (-1), of another type, or out of range.
bool hj_string(const hj_doc *doc, int node, std::string *out);
bool hj_int(const hj_doc *doc, int node, long long *out);
bool hj_bool(const hj_doc *doc, int node, bool *out);

// Convenience: a member read straight from an object.
bool hj_get_string(const hj_doc *doc, int object, const char *key, std::string *out);
bool hj_get_int(const hj_doc *doc, int object, const char *key, long long *out);
bool hj_get_bool(const hj_doc *doc, int object, const char *key, bool *out);

#endif
