// Values of statement texts by type. A template takes a value only as a
// quoted text (between single quotes), a number, a list of quoted texts or
// a fixed piece of statement; which goes where is checked against the
// template when the program is compiled, so a text that was not quoted,
// a quote missing around a text or a value too many or too few is a
// compile error, not a statement that breaks on an apostrophe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "db/job_codes.h"

namespace kvs {

// A value for a place between single quotes of a statement: each single
// quote doubled. (On MySQL the session has backslash escapes off.)
std::string SqlQuote(std::string_view value);

// A text for "'%s'".
class SqlText {
 public:
  explicit SqlText(std::string_view value) : text_(SqlQuote(value)) {}
  template <typename Kind>
  explicit SqlText(JobCode<Kind> code) : text_(code.text()) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// A number for "%ld" or "'%ld'".
class SqlNumber {
 public:
  explicit SqlNumber(int32_t value) : text_(std::to_string(value)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Quoted texts separated by ", " for "IN ( %s )"; "' '" while empty.
class SqlList {
 public:
  void Clear() { text_.clear(); }
  void Append(const SqlText& value) {
    if (!text_.empty()) text_ += ", ";
    text_ += "'" + value.text() + "'";
  }
  bool empty() const { return text_.empty(); }
  // As the statement shows the list.
  std::string text() const { return text_.empty() ? "' '" : text_; }
  const std::string& items() const { return text_; }

 private:
  std::string text_;
};

// A piece of statement fixed in the program, for "%s" outside quotes.
class SqlFragment {
 public:
  consteval explicit SqlFragment(const char* text) : text_(text) {}
  std::string text() const { return text_; }

 private:
  const char* text_;
};

class SqlStatement;

namespace sql_internal {

enum class Place { kQuotedText, kNumber, kList };

template <typename T>
struct PlaceOf;  // no other type reaches a statement
template <>
struct PlaceOf<SqlText> {
  static constexpr Place kValue = Place::kQuotedText;
};
template <>
struct PlaceOf<SqlNumber> {
  static constexpr Place kValue = Place::kNumber;
};
template <>
struct PlaceOf<SqlList> {
  static constexpr Place kValue = Place::kList;
};
template <>
struct PlaceOf<SqlFragment> {
  static constexpr Place kValue = Place::kList;
};
template <>
struct PlaceOf<SqlStatement> {  // a piece made from its own template
  static constexpr Place kValue = Place::kList;
};

// Called only when a template and its values do not match; not being
// constexpr, it stops the compilation there.
void TemplateDoesNotMatchValues();

// The template with each value in its place and "%%" as "%".
SqlStatement Fill(const char* tpl, const std::string* values);

}  // namespace sql_internal

// A statement template checked against the types of its values: "'%s'"
// takes an SqlText, "%ld" and "'%ld'" an SqlNumber, a bare "%s" an SqlList,
// an SqlFragment or a piece made by SqlFormat; "%%" is a percent sign.
template <typename... Values>
class SqlTemplate {
 public:
  template <size_t N>
  consteval SqlTemplate(const char (&tpl)[N]) : text_(tpl) {
    using sql_internal::Place;
    constexpr Place places[] = {sql_internal::PlaceOf<Values>::kValue..., Place::kList};
    size_t n = 0;
    for (size_t i = 0; i + 1 < N; ++i) {
      if (tpl[i] != '%') continue;
      if (tpl[i + 1] == '%') {
        ++i;
        continue;
      }
      Place place = Place::kList;
      if (tpl[i + 1] == 'l' && tpl[i + 2] == 'd') {
        place = Place::kNumber;
      } else if (tpl[i + 1] != 's') {
        sql_internal::TemplateDoesNotMatchValues();
      } else if (i > 0 && tpl[i - 1] == '\'' && tpl[i + 2] == '\'') {
        place = Place::kQuotedText;
      }
      if (n >= sizeof...(Values) || places[n] != place) {
        sql_internal::TemplateDoesNotMatchValues();
      }
      ++n;
    }
    if (n != sizeof...(Values)) sql_internal::TemplateDoesNotMatchValues();
  }
  const char* text() const { return text_; }

 private:
  const char* text_;
};

// A statement as the session runs it. Only a checked template filled with
// typed values makes one (SqlFormat), so no statement is ever joined from
// strings; a fixed statement is a template without values.
class SqlStatement {
 public:
  SqlStatement() = default;  // the empty statement: a dialect without it
  const std::string& text() const { return text_; }
  bool empty() const { return text_.empty(); }
  friend bool operator==(const SqlStatement& a, std::string_view b) { return a.text_ == b; }

 private:
  explicit SqlStatement(std::string text) : text_(std::move(text)) {}
  friend SqlStatement sql_internal::Fill(const char* tpl, const std::string* values);
  // Tests' own statements on their fixtures (defined with the test
  // database, nowhere in the programs).
  friend SqlStatement TestStatement(std::string text);

  std::string text_;
};
SqlStatement TestStatement(std::string text);
// For test failure output.
void PrintTo(const SqlStatement& statement, std::ostream* out);

template <typename... Values>
SqlStatement SqlFormat(SqlTemplate<std::type_identity_t<Values>...> tpl, const Values&... values) {
  const std::string texts[] = {std::string(values.text())..., std::string()};
  return sql_internal::Fill(tpl.text(), texts);
}

}  // namespace kvs
