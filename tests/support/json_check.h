// A strict JSON well-formedness check for the library's answers: one value, nothing after it,
// strings with valid escapes and valid UTF-8. Enough to prove an answer parses; not a parser.
#ifndef MDUMP_JSON_CHECK_H
#define MDUMP_JSON_CHECK_H

#include <string>

// Empty when `text` is one well-formed JSON value; otherwise where and why it is not.
std::string json_problem(const std::string &text);

#endif
