// Bounded strings: each append's own truncation rule, the invariants after
// every operation, and that nothing is ever written past the capacity.
#include "xstring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "temp_dir.h"

using testsupport::TempDir;

namespace {

// A string of the given capacity over a buffer with guard bytes behind it,
// so a write past s + maxlen shows up as a changed guard.
struct Guarded {
  static constexpr int kGuard = 8;
  char buf[64 + kGuard];
  xstring_t xs;
  int cap;

  explicit Guarded(int capacity, const char* init = "") : cap(capacity) {
    std::memset(buf, '#', sizeof buf);
    xsinit(&xs, buf, capacity + 1);
    xsstrcat(&xs, init);
  }
  bool guard_intact() const {
    for (int i = cap + 1; i < cap + 1 + kGuard; ++i) {
      if (buf[i] != '#') return false;
    }
    return true;
  }
  std::string text() const { return std::string(xs.s, static_cast<size_t>(xs.length)); }
};

// The descriptor's invariants, checked after every step.
void expect_sound(const xstring_t& xs) {
  EXPECT_GE(xs.length, 0);
  EXPECT_LE(xs.length, xs.maxlen);
  EXPECT_EQ(xs.end, xs.s + xs.length);
  EXPECT_EQ(*xs.end, '\0');
}

}  // namespace

TEST(XsAppend, TextFillsToExactCapacityThenStops) {
  struct Case {
    int cap;
    const char* init;
    const char* add;
    const char* want;
  } cases[] = {
      {10, "abc", "0123456789", "abc0123456"},  // cut in the middle
      {10, "abc", "0123456", "abc0123456"},     // exact fit
      {10, "abc", "012345", "abc012345"},       // one short
      {10, "", "", ""},
      {0, "", "x", ""},  // no capacity at all
  };
  for (const auto& c : cases) {
    Guarded g(c.cap, c.init);
    xsstrcat(&g.xs, c.add);
    EXPECT_EQ(g.text(), c.want) << c.init << "+" << c.add;
    expect_sound(g.xs);
    EXPECT_TRUE(g.guard_intact());
  }

  Guarded full(10, "abc0123456");
  xsstrcat(&full.xs, "more");
  EXPECT_EQ(full.text(), "abc0123456");
  EXPECT_TRUE(full.guard_intact());
}

TEST(XsAppend, DescriptorSourceFollowsTheSameRule) {
  Guarded src(20, "0123456789");
  Guarded dst(12, "ab");
  xsappend(&dst.xs, &src.xs);
  EXPECT_EQ(dst.text(), "ab0123456789");
  xsappend(&dst.xs, &src.xs);
  EXPECT_EQ(dst.text(), "ab0123456789");
  EXPECT_TRUE(dst.guard_intact());

  xscopy(&dst.xs, &src.xs);
  EXPECT_EQ(dst.text(), "0123456789");
  expect_sound(dst.xs);

  // Copying a string onto itself must not empty it first.
  xscopy(&dst.xs, &dst.xs);
  EXPECT_EQ(dst.text(), "0123456789");
}

TEST(XsAppend, OwnTextCanBeAppendedToItself) {
  Guarded g(10, "abcd");
  xsstrcat(&g.xs, g.xs.s);
  EXPECT_EQ(g.text(), "abcdabcd");
  xsappend(&g.xs, &g.xs);
  EXPECT_EQ(g.text(), "abcdabcdab");
  EXPECT_TRUE(g.guard_intact());
}

TEST(XsPrintf, NeverFillsTheLastCharacter) {
  struct Case {
    int cap;
    const char* init;
    const char* add;
    const char* want;
  } cases[] = {
      {10, "", "0123456789", "012345678"},     {10, "", "012345678", "012345678"},
      {10, "", "01234567", "01234567"},        {10, "abcdefgh", "xyz", "abcdefghx"},
      {10, "abcdefghi", "xyz", "abcdefghi"},    // one free: nothing fits
      {10, "abcdefghij", "xyz", "abcdefghij"},  // full
  };
  for (const auto& c : cases) {
    Guarded g(c.cap, c.init);
    xsprintf(&g.xs, "%s", c.add);
    EXPECT_EQ(g.text(), c.want) << c.init << "+" << c.add;
    expect_sound(g.xs);
    EXPECT_TRUE(g.guard_intact());
  }
}

TEST(XsPrintf, FormattingErrorStoresNothing) {
  Guarded g(20, "ab");
  // A wide character with no narrow form in the C locale fails to format.
  xsprintf(&g.xs, "%ls", L"\x4e2d");
  EXPECT_EQ(g.text(), "ab");
  expect_sound(g.xs);
}

TEST(XsPrintf, InterleavedWithStrcatKeepsLengthTrue) {
  Guarded g(25);
  for (int i = 0; i < 12; ++i) {
    if (i % 2 == 0) {
      xsprintf(&g.xs, "%d,", i * 111);
    } else {
      xsstrcat(&g.xs, "ab;");
    }
    expect_sound(g.xs);
    EXPECT_EQ(static_cast<int>(std::strlen(g.xs.s)), g.xs.length);
    EXPECT_TRUE(g.guard_intact());
  }
  EXPECT_EQ(g.xs.length, 25);  // the strcat steps fill the last character
}

TEST(XsUrl, EscapesAreNeverCut) {
  struct Case {
    int cap;
    const char* init;
    const char* src;
    const char* want;
  } cases[] = {
      {8, "", "     ", "%20%20"},     // stops with two free
      {8, "", "abcdefgh", "abcdef"},  // even plain bytes stop at two free
      {4, "", "a b", "a%20"},         // exactly three free for the escape
      {3, "", "ab c", "a"},
      {20, "", "a-b_c.d~e/f", "a-b_c.d%7Ee%2Ff"},
      {20, "", "\xC3\xA9\x7F\x01", "%C3%A9%7F%01"},  // unsigned on every host
      {20, "x=", "", "x="},
  };
  for (const auto& c : cases) {
    Guarded g(c.cap, c.init);
    xsurlstr(&g.xs, c.src);
    EXPECT_EQ(g.text(), c.want) << c.src;
    expect_sound(g.xs);
    EXPECT_TRUE(g.guard_intact());
  }

  Guarded plain(20);
  xsurlstropt(&plain.xs, "a b", 0);
  xsurlstropt(&plain.xs, "a b", 1);
  EXPECT_EQ(plain.text(), "a ba%20b");
}

TEST(XsUrl, CharRuleWritesOneOrThreePlusTerminator) {
  char buf[5] = "####";
  EXPECT_EQ(xsurlchar('Z', buf), 1);
  EXPECT_STREQ(buf, "Z###");  // no terminator for a plain byte
  EXPECT_EQ(xsurlchar(static_cast<char>(0xFF), buf), 3);
  EXPECT_STREQ(buf, "%FF");
  EXPECT_EQ(xsurlchar(' ', buf), 3);
  EXPECT_STREQ(buf, "%20");
}

TEST(XsWrap, AdoptsAndCutsTheText) {
  char buf[16] = "123456789";
  xstring_t xs;
  xswrap(&xs, buf, 5);
  EXPECT_EQ(xs.maxlen, 4);
  EXPECT_EQ(xs.length, 4);
  EXPECT_STREQ(xs.s, "1234");
  expect_sound(xs);

  char shortbuf[16] = "ab";
  xswrap(&xs, shortbuf, 16);
  EXPECT_EQ(xs.length, 2);
  EXPECT_EQ(xs.maxlen, 15);
  xsstrcat(&xs, "cd");
  EXPECT_STREQ(shortbuf, "abcd");

  // No terminator inside the buffer at all: still cut within it.
  char raw[4] = {'w', 'x', 'y', 'z'};
  xswrap(&xs, raw, 4);
  EXPECT_EQ(xs.length, 3);
  EXPECT_EQ(raw[3], '\0');
}

TEST(XsTrunc, KeepsAtMostN) {
  struct Case {
    int n;
    const char* want;
  } cases[] = {{2, "ab"}, {9, "abcde"}, {5, "abcde"}, {0, ""}, {-3, ""}, {1, "a"}};
  for (const auto& c : cases) {
    Guarded g(10, "abcde");
    xstrunc(&g.xs, c.n);
    EXPECT_EQ(g.text(), c.want) << c.n;
    expect_sound(g.xs);
  }
}

TEST(XsDecl, MacrosGiveEmptyAndFullStrings) {
  XSTRING(a, abuf, 6);
  EXPECT_EQ(sizeof abuf, 7u);
  expect_sound(a);
  xsstrcat(&a, "abcdefgh");
  EXPECT_STREQ(abuf, "abcdef");

  XSTRINGDEF(d, dbuf, "hello");
  EXPECT_EQ(d.length, 5);
  EXPECT_EQ(d.maxlen, 5);
  expect_sound(d);
  xsstrcat(&d, "x");
  xsprintf(&d, "y");
  EXPECT_STREQ(dbuf, "hello");
  xsstrcpy(&d, "bye");
  EXPECT_STREQ(dbuf, "bye");
}

TEST(XsFix, RecountsAfterDirectWrites) {
  Guarded g(10, "abc");
  std::strcpy(g.xs.s, "longer");
  xsfix(&g.xs);
  EXPECT_EQ(g.xs.length, 6);
  expect_sound(g.xs);

  // A buffer filled without a terminator is counted to the capacity only.
  std::memset(g.xs.s, 'q', 11);
  xsfix(&g.xs);
  EXPECT_EQ(g.xs.length, 10);
  expect_sound(g.xs);
  EXPECT_TRUE(g.guard_intact());
}

TEST(XsFile, ReadAndAppendAreBounded) {
  TempDir dir;
  dir.write("short", std::string("ab\0cd", 5));
  dir.write("long", std::string(100, 'L'));

  Guarded g(10, "old");
  EXPECT_EQ(xsreadfile(&g.xs, dir.file("missing").c_str()), 0u);
  EXPECT_EQ(g.xs.length, 0);
  expect_sound(g.xs);

  // A terminator byte inside the file stays inside the counted length.
  EXPECT_EQ(xsreadfile(&g.xs, dir.file("short").c_str()), 5u);
  EXPECT_EQ(g.text(), std::string("ab\0cd", 5));
  expect_sound(g.xs);

  EXPECT_EQ(xsappendfile(&g.xs, dir.file("long").c_str()), 5u);
  EXPECT_EQ(g.xs.length, 10);
  EXPECT_EQ(xsappendfile(&g.xs, dir.file("long").c_str()), 0u);
  EXPECT_TRUE(g.guard_intact());

  Guarded h(10, "keep");
  EXPECT_EQ(xsappendfile(&h.xs, dir.file("missing").c_str()), 0u);
  EXPECT_EQ(h.text(), "keep");

  EXPECT_EQ(xsreadfile(&h.xs, dir.file("long").c_str()), 10u);
  EXPECT_EQ(h.text(), std::string(10, 'L'));
  expect_sound(h.xs);
  EXPECT_TRUE(h.guard_intact());
}

TEST(XsPrint, ShowsLengthCapacityAndText) {
  Guarded g(10, "abc");
  testing::internal::CaptureStdout();
  xsprint(&g.xs);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Len: 3 (max: 10) data: abc\n");
}
