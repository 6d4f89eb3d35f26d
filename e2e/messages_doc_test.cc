// Keeps the operators' catalogue of texts (docs/messages.md) in step with
// the code. Every text constant of the controller's headers (core, diag,
// db, msg, proc, jobs) that it writes to a log, the console or the message
// pool must be a catalogue entry; every catalogue entry must be a text the
// controller's sources hold. A catalogue entry is a table row of
// docs/messages.md whose first cell is one code span:
//
//   | `Text as the code has it` | ... |
//
// The entry's text is the C string as it decodes, with the trailing line
// breaks left off, a line break inside the text written as the two
// characters \n, and the Windows-1252 bytes of the code in UTF-8.
#include <cstdint>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/test_util.h"

#ifndef KVS_SOURCE_DIR
#error "KVS_SOURCE_DIR must name the source tree"
#endif

namespace kvs {
namespace {

namespace fs = std::filesystem;

// The controller's folders; tools/ and platform/ are not the controller's
// texts.
const char* const kControllerFolders[] = {"core", "diag", "db", "msg", "proc", "jobs"};

// Constants of those headers that are no text written to a log, the
// console or the pool. Everything else must be in the catalogue.
const std::set<std::string>& SkippedConstants() {
  static const std::set<std::string> skipped = {
      // core/heartbeat.h: the pipe's name and the request sent over it.
      "kPipeName",
      "kHeartbeatRequest",
      // diag/flag_file.h, diag/pass_state.h and msg/message_pool.h: file names.
      "kFlagFileName",
      "kPassStateFileName",
      "kFallbackMessageFile",
      // core/config.h: the default of the INI key TRANSFERDATEIEN.
      "kDefaultTransferFiles",
      // db/job_table.h: key values of the status row.
      "kStatusJobDa1",
      "kStatusJobKe2",
      "kStatusJobUrv",
      // db/job_table.h: key and JOBURV of a node's status row.
      "kNodeKeyPrefix",
      "kNodeStatusUrv",
      // db/session.h: the values of DB_SYSTEM.
      "kDbSystemMssql",
      "kDbSystemMysql",
      // jobs/system_jobs.h: a folder and a file name.
      "kTransferFolder",
      "kTransferFlagFile",
  };
  return skipped;
}

// ---- Reading C++ source ------------------------------------------------------

struct Token {
  enum Kind { kIdentifier, kString, kPunct } kind;
  std::string text;  // identifier, decoded string (adjacent literals joined), or punctuation
  int line = 0;
};

bool IsIdentChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits source into identifiers, string literals and punctuation; comments,
// character literals and preprocessor lines other than their strings are
// dropped. Adjacent string literals become one token. *error names what
// could not be read.
std::vector<Token> Tokenize(const std::string& s, std::string* error) {
  std::vector<Token> tokens;
  size_t i = 0;
  int line = 1;
  bool last_was_string = false;
  auto fail = [&](const std::string& what) {
    if (error->empty()) *error = "line " + std::to_string(line) + ": " + what;
  };
  while (i < s.size() && error->empty()) {
    const char c = s[i];
    if (c == '\n') {
      ++line;
      ++i;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++i;
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
      while (i < s.size() && s[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      size_t end = s.find("*/", i + 2);
      if (end == std::string::npos) {
        fail("comment not closed");
        break;
      }
      for (size_t k = i; k < end; ++k) line += s[k] == '\n';
      i = end + 2;
      continue;
    }
    if (c == '\'') {
      // A character literal, or a digit separator inside a number.
      if (i > 0 && IsIdentChar(s[i - 1])) {
        ++i;
        continue;
      }
      ++i;
      while (i < s.size() && s[i] != '\'' && s[i] != '\n') i += s[i] == '\\' ? 2 : 1;
      ++i;
      last_was_string = false;
      continue;
    }
    if (c == '"' || (c == 'R' && i + 1 < s.size() && s[i + 1] == '"' &&
                     (i == 0 || !IsIdentChar(s[i - 1])))) {
      std::string value;
      if (c == 'R') {
        size_t open = s.find('(', i + 2);
        if (open == std::string::npos) {
          fail("raw string without '('");
          break;
        }
        const std::string close = ")" + s.substr(i + 2, open - i - 2) + "\"";
        size_t end = s.find(close, open + 1);
        if (end == std::string::npos) {
          fail("raw string not closed");
          break;
        }
        value = s.substr(open + 1, end - open - 1);
        for (char v : value) line += v == '\n';
        i = end + close.size();
      } else {
        ++i;
        while (true) {
          if (i >= s.size() || s[i] == '\n') {
            fail("string literal not closed");
            break;
          }
          char d = s[i];
          if (d == '"') {
            ++i;
            break;
          }
          if (d != '\\') {
            value += d;
            ++i;
            continue;
          }
          if (i + 1 >= s.size()) {
            fail("escape at the end");
            break;
          }
          char e = s[i + 1];
          i += 2;
          switch (e) {
            case 'n': value += '\n'; break;
            case 't': value += '\t'; break;
            case 'r': value += '\r'; break;
            case 'a': value += '\a'; break;
            case 'b': value += '\b'; break;
            case 'f': value += '\f'; break;
            case 'v': value += '\v'; break;
            case '\\': value += '\\'; break;
            case '"': value += '"'; break;
            case '\'': value += '\''; break;
            case '?': value += '?'; break;
            case 'x': {
              // As C reads it: every hex digit that follows belongs to it.
              unsigned v = 0;
              int digits = 0;
              while (i < s.size() && HexValue(s[i]) >= 0) {
                if (v <= 0xFF) v = v * 16 + static_cast<unsigned>(HexValue(s[i]));
                ++i;
                ++digits;
              }
              if (digits == 0 || v > 0xFF) fail("bad \\x escape");
              value += static_cast<char>(v);
              break;
            }
            default:
              if (e >= '0' && e <= '7') {
                unsigned v = static_cast<unsigned>(e - '0');
                for (int k = 0; k < 2 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++k, ++i) {
                  v = v * 8 + static_cast<unsigned>(s[i] - '0');
                }
                if (v > 0xFF) fail("bad octal escape");
                value += static_cast<char>(v);
              } else {
                fail(std::string("unknown escape \\") + e);
              }
          }
        }
      }
      if (last_was_string) {
        tokens.back().text += value;
      } else {
        tokens.push_back({Token::kString, value, line});
      }
      last_was_string = true;
      continue;
    }
    last_was_string = false;
    if (IsIdentChar(c)) {
      size_t start = i;
      while (i < s.size() && IsIdentChar(s[i])) ++i;
      tokens.push_back({Token::kIdentifier, s.substr(start, i - start), line});
      continue;
    }
    tokens.push_back({Token::kPunct, std::string(1, c), line});
    ++i;
  }
  return tokens;
}

// ---- Code text to catalogue form ---------------------------------------------

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Windows-1252 bytes 0x80 to 0x9F; 0 where the code page has no character.
const uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The text as the catalogue writes it: trailing line breaks left off, a
// line break inside as "\n", Windows-1252 in UTF-8.
std::string CatalogueForm(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::string out;
  for (char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    if (ch == '\n') {
      out += "\\n";
    } else if (b < 0x80) {
      out += ch;
    } else if (b < 0xA0) {
      AppendUtf8(kCp1252High[b - 0x80] != 0 ? kCp1252High[b - 0x80] : 0xFFFD, &out);
    } else {
      AppendUtf8(b, &out);
    }
  }
  return out;
}

// ---- The sources -------------------------------------------------------------

struct Constant {
  std::string name;
  std::string where;  // file:line
  std::string text;   // as the code has it
};

struct Sources {
  std::vector<Constant> constants;  // of the headers
  std::set<std::string> literals;   // every string of headers and sources, catalogue form
  std::vector<std::string> errors;
};

bool IsTestSupport(const std::string& file_text) {
  return file_text.find("#include \"gtest/gtest.h\"") != std::string::npos;
}

const Sources& ReadSources() {
  static const Sources sources = [] {
    Sources out;
    const fs::path root(KVS_SOURCE_DIR);
    for (const char* folder : kControllerFolders) {
      std::vector<fs::path> files;
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(root / folder, ec)) {
        const fs::path& p = entry.path();
        const std::string name = p.filename().string();
        const std::string ext = p.extension().string();
        if (ext != ".h" && ext != ".cc") continue;
        // Tests and fuzz targets are not the controller.
        if (name.find("_test") != std::string::npos || name.find("_fuzz") != std::string::npos) {
          continue;
        }
        files.push_back(p);
      }
      if (ec) out.errors.push_back(std::string("cannot list ") + folder + ": " + ec.message());
      for (const fs::path& p : files) {
        const std::string text = ReadFile(p);
        if (IsTestSupport(text)) continue;
        const std::string rel = std::string(folder) + "/" + p.filename().string();
        std::string error;
        const std::vector<Token> tokens = Tokenize(text, &error);
        if (!error.empty()) {
          out.errors.push_back(rel + ": " + error);
          continue;
        }
        for (const Token& t : tokens) {
          if (t.kind == Token::kString) out.literals.insert(CatalogueForm(t.text));
        }
        if (p.extension() != ".h") continue;
        // inline constexpr char kName[] = "..." "...";
        for (size_t k = 0; k + 3 < tokens.size(); ++k) {
          if (tokens[k].kind != Token::kIdentifier || tokens[k].text != "inline" ||
              tokens[k + 1].text != "constexpr" || tokens[k + 2].text != "char" ||
              tokens[k + 3].kind != Token::kIdentifier || tokens[k + 3].text[0] != 'k') {
            continue;
          }
          const std::string where = rel + ":" + std::to_string(tokens[k].line);
          const std::string& name = tokens[k + 3].text;
          if (k + 8 < tokens.size() && tokens[k + 4].text == "[" && tokens[k + 5].text == "]" &&
              tokens[k + 6].text == "=" && tokens[k + 7].kind == Token::kString &&
              tokens[k + 8].text == ";") {
            out.constants.push_back({name, where, tokens[k + 7].text});
          } else {
            out.errors.push_back(where + ": " + name + " is not a plain string constant");
          }
        }
      }
    }
    return out;
  }();
  return sources;
}

// ---- The catalogue -----------------------------------------------------------

struct Entry {
  std::string text;
  int line = 0;
};

const std::vector<Entry>& CatalogueEntries() {
  static const std::vector<Entry> entries = [] {
    std::vector<Entry> out;
    std::istringstream in(ReadFile(fs::path(KVS_SOURCE_DIR) / "docs" / "messages.md"));
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
      ++number;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("| `", 0) != 0) continue;
      const size_t end = line.find("` |", 3);
      if (end == std::string::npos) continue;
      out.push_back({line.substr(3, end - 3), number});
    }
    return out;
  }();
  return entries;
}

// ---- Tests -------------------------------------------------------------------

TEST(MessagesDocTest, SourcesAndCatalogueAreReadable) {
  const Sources& sources = ReadSources();
  for (const std::string& e : sources.errors) ADD_FAILURE() << e;
  // Far fewer would mean the tree was not found or not read.
  EXPECT_GE(sources.constants.size(), 100u) << "source tree " << KVS_SOURCE_DIR;
  EXPECT_GE(CatalogueEntries().size(), 100u) << "docs/messages.md has too few entries";
}

TEST(MessagesDocTest, SkipListNamesExistingConstants) {
  std::set<std::string> names;
  for (const Constant& c : ReadSources().constants) names.insert(c.name);
  for (const std::string& skipped : SkippedConstants()) {
    EXPECT_TRUE(names.count(skipped)) << "skip list names " << skipped
                                      << ", which no header defines any more";
  }
}

TEST(MessagesDocTest, EveryTextIsInTheCatalogue) {
  std::set<std::string> documented;
  for (const Entry& e : CatalogueEntries()) documented.insert(e.text);
  for (const Constant& c : ReadSources().constants) {
    if (SkippedConstants().count(c.name)) continue;
    const std::string text = CatalogueForm(c.text);
    EXPECT_TRUE(documented.count(text))
        << "docs/messages.md has no entry for " << c.name << " (" << c.where << "): `" << text
        << "`";
  }
}

TEST(MessagesDocTest, EveryCatalogueEntryIsInTheCode) {
  const Sources& sources = ReadSources();
  for (const Entry& e : CatalogueEntries()) {
    EXPECT_TRUE(sources.literals.count(e.text))
        << "docs/messages.md:" << e.line << " documents a text the code does not have: `"
        << e.text << "`";
  }
}

// ---- Settings and programs the documents name ------------------------------

// The code spans of a text: "a `b` c `d`" gives {"b", "d"}.
std::set<std::string> CodeSpans(const std::string& text) {
  std::set<std::string> spans;
  for (size_t open = text.find('`'); open != std::string::npos;) {
    const size_t close = text.find('`', open + 1);
    if (close == std::string::npos) break;
    spans.insert(text.substr(open + 1, close - open - 1));
    open = text.find('`', close + 1);
  }
  return spans;
}

// The lines of a file that begin with prefix.
std::vector<std::string> LinesStartingWith(const std::string& file, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(fs::path(KVS_SOURCE_DIR) / file));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

// The names the text holds between each opening and the next closing.
std::set<std::string> Between(const std::string& text, const std::string& opening,
                              const std::string& closing) {
  std::set<std::string> names;
  for (size_t at = text.find(opening); at != std::string::npos; at = text.find(opening, at + 1)) {
    const size_t start = at + opening.size();
    const size_t end = text.find(closing, start);
    if (end != std::string::npos) names.insert(text.substr(start, end - start));
  }
  return names;
}

// Catches a key the controller reads that the shipped KVSJOBCTL.INI or the
// operations guide's table leaves out, and a documented key the controller
// does not read.
TEST(MessagesDocTest, IniKeysAreTheOnesTheControllerReads) {
  const std::set<std::string> read =
      Between(ReadFile(fs::path(KVS_SOURCE_DIR) / "core" / "config.cc"), "read(\"", "\"");
  EXPECT_EQ(13u, read.size());
  std::set<std::string> shipped;
  for (const std::string& line : LinesStartingWith("packaging/KVSJOBCTL.INI", "")) {
    const size_t eq = line.find('=');
    if (!line.empty() && line[0] != ';' && line[0] != '[' && eq != std::string::npos) {
      shipped.insert(line.substr(0, eq));
    }
  }
  EXPECT_EQ(read, shipped) << "packaging/KVSJOBCTL.INI";
  for (const char* doc : {"docs/operations.md"}) {
    std::set<std::string> documented;
    for (const std::string& row : LinesStartingWith(doc, "| `")) {
      const std::set<std::string> first = CodeSpans(row.substr(0, row.find(" | ", 2) + 1));
      if (first.size() == 1 && read.count(*first.begin())) documented.insert(*first.begin());
    }
    EXPECT_EQ(read, documented) << doc << " has no table row for a key";
  }
}

// Catches a program built from tools/ that the README's layout table does
// not name (or one it names that is not built), and a program installed
// into the packages that the README's package table leaves out.
TEST(MessagesDocTest, ReadmeNamesThePrograms) {
  const std::string cmake = ReadFile(fs::path(KVS_SOURCE_DIR) / "CMakeLists.txt");
  std::set<std::string> tools;
  // A program of tools/ is one whose main source lies there.
  for (const std::string& entry : Between(cmake, "add_executable(", ")")) {
    std::istringstream words(entry);
    std::string name, main_source;
    if (words >> name >> main_source && main_source.rfind("tools/", 0) == 0) tools.insert(name);
  }
  const std::vector<std::string> layout = LinesStartingWith("README.md", "| `tools/` |");
  ASSERT_EQ(1u, layout.size());
  std::set<std::string> named = CodeSpans(layout[0]);
  named.erase("tools/");
  EXPECT_EQ(tools, named) << "README.md, layout table, row tools/";

  const std::set<std::string> installs = Between(cmake, "install(TARGETS ", " RUNTIME");
  ASSERT_EQ(1u, installs.size());
  std::set<std::string> installed;
  std::istringstream names(*installs.begin());
  for (std::string name; names >> name;) installed.insert(name);
  const std::vector<std::string> package = LinesStartingWith("README.md", "| `bin/` |");
  ASSERT_EQ(1u, package.size());
  std::set<std::string> listed = CodeSpans(package[0]);
  listed.erase("bin/");
  listed.erase("KVSJOBCTL.INI");
  listed.erase("KVSJOBCTL.INI.example");
  listed.erase(".exe");
  EXPECT_EQ(installed, listed) << "README.md, package table, row bin/";
}

}  // namespace
}  // namespace kvs
