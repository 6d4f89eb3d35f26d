#include "proc/process_table.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace kvs {
namespace {

// Catches a duplicate key listed twice, an empty key listed as "''", a
// quote in a key left single (the selection statement would break) and
// an empty list handed to "NOT IN ( )" instead of "' '".
TEST(RunningListTest, KeysAreQuotedOnceEach) {
  struct Case {
    std::vector<std::string> keys;
    std::string text;
    std::string selection;
  };
  const Case cases[] = {
      {{}, "", "' '"},
      {{""}, "", "' '"},
      {{"A", "B"}, "'A', 'B'", "'A', 'B'"},
      {{"A", "B", "A"}, "'A', 'B'", "'A', 'B'"},
      {{"", "A", ""}, "'A'", "'A'"},
      {{"it's", "it's"}, "'it''s'", "'it''s'"},
  };
  for (const Case& c : cases) {
    RunningList list;
    for (const std::string& key : c.keys) EXPECT_TRUE(list.Add(key)) << key;
    EXPECT_EQ(list.text(), c.text) << c.text;
    EXPECT_EQ(list.ForSelection().text(), c.selection) << c.text;
    EXPECT_FALSE(list.full());
  }
}

// Catches a match inside another item ("A" found in "'AB'"), a prefix
// match ("it" in "'it''s'") and a key compared unquoted.
TEST(RunningListTest, ContainsWholeItemsOnly) {
  RunningList list;
  for (const char* key : {"AB", "it's", "C"}) ASSERT_TRUE(list.Add(key));
  ASSERT_EQ(list.text(), "'AB', 'it''s', 'C'");
  struct Case {
    const char* key;
    bool listed;
  };
  const Case cases[] = {{"AB", true}, {"A", false},   {"B", false},
                        {"it's", true}, {"it", false}, {"s", false},
                        {"C", true},  {"AB', 'C", false}};
  for (const Case& c : cases) EXPECT_EQ(list.Contains(c.key), c.listed) << c.key;
}

// Catches an off-by-one at the 5000-character limit (the ", " and the
// quotes counted or not, a quote in the key counted once instead of
// twice) and an overrun past it: a key that fits exactly is listed, one
// character more is refused, the list reports itself full and its text
// stays as it was.
TEST(RunningListTest, LimitIsExactly5000Characters) {
  // 19 keys of 250 characters take 19 * 252 + 18 * 2 = 4824 characters;
  // the next item takes ", '" + key + "'", so 172 characters of key fit.
  struct Case {
    std::string last_key;
    bool fits;
  };
  const Case cases[] = {
      {std::string(172, 'z'), true},
      {std::string(173, 'z'), false},
      {std::string(170, 'z') + "'", true},   // 172 characters once quoted
      {std::string(171, 'z') + "'", false},  // 173 once quoted
  };
  for (const Case& c : cases) {
    RunningList list;
    for (int i = 0; i < 19; ++i) {
      ASSERT_TRUE(list.Add(std::string(1, static_cast<char>('A' + i)) + std::string(249, 'x')));
    }
    ASSERT_EQ(list.text().size(), 4824u);
    EXPECT_EQ(list.CanAdd(c.last_key), c.fits) << c.last_key.size();
    EXPECT_EQ(list.Add(c.last_key), c.fits) << c.last_key.size();
    EXPECT_EQ(list.full(), !c.fits) << c.last_key.size();
    EXPECT_EQ(list.text().size(), c.fits ? kMaxRunningListChars : 4824u);
    EXPECT_EQ(list.Contains(c.last_key), c.fits);
    // At 5000 characters not one more fits; keys already listed and
    // empty keys still pass, since they do not widen the list.
    if (c.fits) {
      EXPECT_FALSE(list.Add("q"));
      EXPECT_TRUE(list.full());
      EXPECT_EQ(list.text().size(), kMaxRunningListChars);
    }
    EXPECT_TRUE(list.CanAdd("A" + std::string(249, 'x')));
    EXPECT_TRUE(list.CanAdd(""));
  }
}

// Catches the marker for the scheduled run types leaving the full flag
// set (no launch would be allowed after it) or being replaced by the
// first key instead of followed by it.
TEST(RunningListTest, EmptyMarkerStartsAFreshList) {
  RunningList list;
  ASSERT_FALSE(list.Add(std::string(5000, 'x')));
  ASSERT_TRUE(list.full());
  list.SetEmptyMarker();
  EXPECT_FALSE(list.full());
  EXPECT_EQ(list.ForSelection().text(), "' '");
  EXPECT_TRUE(list.Add("A"));
  EXPECT_EQ(list.text(), "' ', 'A'");
}

// Catches a free entry taken from the wrong place (launch must take the
// first free one, entry 1023 included), a full table that hands out an
// entry anyway, and entries that move as others are taken or after a
// clear (launch holds one across the reuse check; a pass must not
// allocate).
TEST(ProcessTableTest, FreeEntryIsTheFirstFreeOrNone) {
  ProcessTable table;
  ManagedProcess* first = table.FreeEntry();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(table.FreeEntry(), first);
  int taken = 0;
  while (ManagedProcess* e = table.FreeEntry()) {
    e->pid = 4;
    ++taken;
  }
  EXPECT_EQ(taken, kMaxProcesses);
  EXPECT_EQ(&table.entries()[0], first);
  EXPECT_EQ(table.Occupied(), kMaxProcesses);
  table.entries()[1023].pid = 0;
  EXPECT_EQ(table.FreeEntry(), &table.entries()[1023]);
  table.entries()[5].pid = 0;
  EXPECT_EQ(table.FreeEntry(), &table.entries()[5]);
  table.Clear();
  EXPECT_EQ(table.Occupied(), 0);
  EXPECT_TRUE(table.entries().empty());
  EXPECT_EQ(table.FreeEntry(), first);
}

// Catches a snapshot that copies free entries (the whole table once a
// pass), loses an entry in use, its order or its fields, or moves its
// storage while it takes a table (an allocation in every pass).
TEST(ProcessTableTest, SnapshotHoldsTheEntriesInUse) {
  ProcessTable table;
  ProcessTable snapshot;
  const ManagedProcess* storage = snapshot.FreeEntry();
  std::vector<int> all(kMaxProcesses);
  for (int i = 0; i < kMaxProcesses; ++i) all[i] = i;
  const std::vector<int> cases[] = {{}, {0}, {5, 1023}, all, {}};
  for (const std::vector<int>& used : cases) {
    table.Clear();
    while (ManagedProcess* e = table.FreeEntry()) e->pid = 1;
    for (int i : used) {
      table.entries()[i].pid = 100 + i;
      SetField(table.entries()[i].jobke2, "J" + std::to_string(i));
    }
    for (ManagedProcess& e : table.entries()) e.pid = e.pid == 1 ? 0 : e.pid;
    snapshot.CopyInUse(table);
    ASSERT_EQ(snapshot.entries().size(), used.size());
    for (size_t n = 0; n < used.size(); ++n) {
      EXPECT_EQ(snapshot.entries()[n].pid, 100u + used[n]);
      EXPECT_EQ(std::string(snapshot.entries()[n].jobke2), "J" + std::to_string(used[n]));
    }
    EXPECT_EQ(snapshot.entries().data(), storage) << used.size();
  }
}

}  // namespace
}  // namespace kvs
