#include "db/sql_value.h"

#include <ostream>
#include <utility>

namespace kvs {

std::string SqlQuote(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out;
}

namespace sql_internal {

SqlStatement Fill(const char* tpl, const std::string* values) {
  std::string out;
  for (const char* c = tpl; *c != '\0'; ++c) {
    if (*c != '%') {
      out += *c;
    } else if (c[1] == '%') {
      out += '%';
      ++c;
    } else {
      // The template was checked: "%s" or "%ld".
      out += *values++;
      c += c[1] == 'l' ? 2 : 1;
    }
  }
  return SqlStatement(std::move(out));
}

}  // namespace sql_internal

void PrintTo(const SqlStatement& statement, std::ostream* out) { *out << statement.text(); }

}  // namespace kvs
