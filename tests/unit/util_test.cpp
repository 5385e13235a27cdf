// Text, file and process helpers: exact renderings, parse boundaries, the
// atomic file write and the shell status folding.
#include "util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"

using testsupport::TempDir;

namespace {

// A stream holding exactly these bytes, positioned at the start.
std::FILE* stream_of(const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return nullptr;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

int entries_in(const std::string& dir) {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

}  // namespace

TEST(UtilFile, SaveReplacesContentExactly) {
  TempDir dir;
  const std::string f = dir.file("value");
  EXPECT_EQ(saveFileString(f.c_str(), "first value\n"), true);
  EXPECT_EQ(dir.read("value"), "first value\n");
  EXPECT_EQ(saveFileString(f.c_str(), "2"), true);
  EXPECT_EQ(dir.read("value"), "2");
  EXPECT_EQ(saveFileString(f.c_str(), ""), true);
  EXPECT_EQ(dir.read("value"), "");
  EXPECT_EQ(entries_in(dir.path()), 1);  // no temporary left behind
}

TEST(UtilFile, SaveFailureLeavesNothingBehind) {
  TempDir dir;
  EXPECT_EQ(saveFileString(dir.file("nodir/value").c_str(), "x"), false);
  EXPECT_FALSE(dir.exists("nodir"));

  // The target is a directory: the rename fails and the temporary goes.
  std::filesystem::create_directory(dir.file("busy"));
  EXPECT_EQ(saveFileString(dir.file("busy").c_str(), "x"), false);
  EXPECT_EQ(entries_in(dir.path()), 1);
}

TEST(UtilFile, SavedFileGetsTheUsualMode) {
  TempDir dir;
  const mode_t old = umask(022);
  const bool ok = saveFileString(dir.file("v").c_str(), "x");
  umask(old);
  ASSERT_TRUE(ok);
  struct stat st {};
  ASSERT_EQ(stat(dir.file("v").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(UtilFile, LoadIsBoundedAndTerminated) {
  TempDir dir;
  dir.write("ten", "0123456789");
  struct Case {
    const char* name;
    size_t bufsize;
    size_t want_n;
    const char* want;
  } cases[] = {
      {"ten", 5, 4, "0123"},         {"ten", 10, 9, "012345678"}, {"ten", 11, 10, "0123456789"},
      {"ten", 64, 10, "0123456789"}, {"ten", 1, 0, ""},           {"missing", 16, 0, ""},
  };
  for (const auto& c : cases) {
    char buf[64];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(loadFileString(dir.file(c.name).c_str(), buf, c.bufsize), c.want_n)
        << c.name << " " << c.bufsize;
    EXPECT_STREQ(buf, c.want);
  }

  char untouched = 'X';
  EXPECT_EQ(loadFileString(dir.file("ten").c_str(), &untouched, 0), 0u);
  EXPECT_EQ(untouched, 'X');

  EXPECT_EQ(file_exists(dir.file("ten").c_str()), 1);
  EXPECT_EQ(file_exists(dir.file("missing").c_str()), 0);
}

TEST(UtilDump, EscapesControlAndHighBytes) {
  struct Case {
    std::string bytes;
    int off;
    const char* want;
  } cases[] = {
      {std::string("\x02\x41\x0D\xFF", 4), 0, "%02A%0D%FF"},
      {std::string("\x1F\x20\x7F\x80%", 5), 0, "%1F \x7F%80%"},
      {std::string("\x00zz", 3), 0, "%00zz"},
      {std::string("skip\x01", 5), 4, "%01"},
  };
  for (const auto& c : cases) {
    const int len = static_cast<int>(c.bytes.size()) - c.off;
    testing::internal::CaptureStdout();
    const int n = dump_packet(c.bytes.data(), len, c.off);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.want);
    EXPECT_EQ(n, static_cast<int>(std::strlen(c.want)));

    char out[64];
    char* end = strdump_packet(out, c.bytes.data(), len, c.off);
    EXPECT_STREQ(out, c.want);
    EXPECT_EQ(end, out + std::strlen(c.want));
  }

  char out[4] = "###";
  EXPECT_EQ(strdump_packet(out, "abc", 0, 0), out);
  EXPECT_STREQ(out, "###");  // not even a terminator
}

TEST(UtilDump, LongFrameIsPrintedWhole) {
  const std::string frame(300, '\xFE');
  std::string want;
  for (int i = 0; i < 300; ++i) want += "%FE";
  testing::internal::CaptureStdout();
  EXPECT_EQ(dump_packet(frame.data(), 300, 0), 900);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), want);
}

TEST(UtilIp, HostAndMaskChecks) {
  struct Case {
    const char* ip;
    int fmask;
    bool valid;
  } cases[] = {
      {"192.168.1.10", 0, true},
      {"192.168.1.0", 0, false},
      {"0.1.2.3", 0, false},
      {"10.0.0.255", 0, false},
      {"255.1.1.1", 0, false},
      {"256.1.1.1", 0, false},
      {"1.2.3.256", 0, false},
      {"1.2.3", 0, false},
      {"", 0, false},
      {"a.b.c.d", 0, false},
      {"100.100.100.100", 0, true},
      {"100.100.100.1000", 0, false},  // 16 characters
      {"1.2.3.4junk", 0, true},
      {"-1.2.3.4", 0, false},
      {"255.255.255.0", 1, true},
      {"0.0.0.255", 1, true},
      {"0.0.0.0", 1, true},
      {"255.255.255.255", 1, true},
      {"255.255.256.0", 1, false},
      {"255.255.0", 1, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_valid_ip(c.ip, c.fmask) != 0, c.valid) << c.ip << " mask " << c.fmask;
  }
  EXPECT_EQ(is_valid_ip("255.255.255.0", 1), -1);
  EXPECT_EQ(is_valid_ip("0.0.0.255", 1), 1);
}

TEST(UtilHex, DigitsAndFields) {
  struct Case {
    const char* s;
    int size;
    int fsigned;
    int want;
  } cases[] = {
      {"1a", -1, 0, 26},
      {"0012", 2, 0, 0},
      {"8000", 4, 1, -32768},
      {"FFFE", 4, 1, -2},
      {"7FFF", 4, 1, 32767},
      {"FF", 2, 0, 255},
      {"FF", 2, 1, -1},
      {"FF", -1, 1, -1},
      {"80000000", 8, 1, static_cast<int>(0x80000000u)},
      {"F", 1, 1, -1},
      {"123456789", -1, 0, 0x23456789},  // only the last eight digits
      {"FFFFFFFFF", -1, 0, -1},
      {"", 0, 1, 0},
      {"G", 1, 0, 0},  // G is 16: its low four bits are zero
  };
  for (const auto& c : cases) {
    EXPECT_EQ(xtoisig(c.s, c.size, c.fsigned), c.want) << c.s << " size " << c.size;
  }
  EXPECT_EQ(xtoi("fF", 2), 255);

  struct Digit {
    int in;
    int want;
  } digits[] = {{'0', 0},
                {'9', 9},
                {'A', 10},
                {'f', 15},
                {'G', 16},
                {' ', -16},
                {static_cast<char>(0xC1), 0xC1 - 55},
                {0xC1, 0xC1 - 55}};
  for (const auto& d : digits) EXPECT_EQ(x2i(d.in), d.want) << d.in;
}

TEST(UtilDecimal, OptionallySignedDigitsOnly) {
  struct Case {
    const char* s;
    int want;
  } cases[] = {{"+12", 1}, {"-7", 1},  {"0", 1},   {"123456789012", 1}, {"-", 0},
               {"+", 0},   {"", 0},    {"1 ", 0},  {" 1", 0},           {"--1", 0},
               {"+-1", 0}, {"1.5", 0}, {"12a", 0}, {"\xD9", 0}};
  for (const auto& c : cases) EXPECT_EQ(isdecimal(c.s), c.want) << "'" << c.s << "'";
}

// Exit code 255 is a failure and must never read as success.
TEST(UtilExec, StatusFoldedByTruncatingRemainder) {
  struct Case {
    const char* cmd;
    int want;
  } cases[] = {{"exit 0", 0},   {"exit 1", 1},     {"exit 254", 254},
               {"exit 255", 255}, {"kill -9 $$", 9}, {"false", 1}};
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    const int r = sys_exec(c.cmd);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, c.want) << c.cmd;
    EXPECT_EQ(out, "Executing \"" + std::string(c.cmd) +
                       "\"\nCommand result: " + std::to_string(c.want) + "\n");
  }
}

TEST(UtilExec, CommandOutputComesBetweenTheLines) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(sys_exec("echo 'a  b'"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Executing \"echo 'a  b'\"\na  b\nCommand result: 0\n");
}

TEST(UtilUrl, EscapesEverythingButUnreserved) {
  struct Case {
    const char* s;
    int urlenc;
    const char* want;
  } cases[] = {
      {"a b/c~", 1, "a%20b%2Fc%7E"},
      {"a b/c~", 0, "a b/c~"},
      {"Az09._-", 1, "Az09._-"},
      {"+&=%", 1, "%2B%26%3D%25"},
      {"\xC3\xA9", 1, "%C3%A9"},
      {"\xC3\xA9", 0, "\xC3\xA9"},
      {"", 1, ""},
  };
  for (const auto& c : cases) {
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    char* end = urlstr(buf, c.s, c.urlenc);
    EXPECT_STREQ(buf, c.want) << c.s;
    EXPECT_EQ(end, buf + std::strlen(c.want));
  }

  char one[3] = "##";
  EXPECT_EQ(urlchar(' ', one, false), 1);
  EXPECT_STREQ(one, " #");  // no terminator written
}

TEST(UtilCompare, CaseInsensitivePrefix) {
  struct Case {
    const char* a;
    const char* b;
    size_t n;
    int sign;  // -1, 0, 1
  } cases[] = {
      {"Content-Length: 5", "content-length", 14, 0},
      {"Content-Length: 5", "content-length", 15, 1},
      {"abc", "ABC", 10, 0},
      {"abc", "abcd", 10, -1},
      {"abcd", "abc", 10, 1},
      {"abd", "abc", 2, 0},
      {"x", "y", 0, 0},
      {"\xC4", "\xE4", 1, -1},  // bytes above 127 are not case-folded
      {"\xE4", "a", 1, 1},      // and compare as unsigned
  };
  for (const auto& c : cases) {
    const int r = mystrnicmp(c.a, c.b, c.n);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " / " << c.b << " " << c.n;
  }
}

TEST(UtilTrim, BlanksAtBothEnds) {
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {
      {"  \tabc \r\n", "abc"}, {"   ", ""},        {"", ""},
      {"a b", "a b"},          {"\v\fx\v\f", "x"}, {"\xA0x\xA0", "\xA0x\xA0"},
  };
  for (const auto& c : cases) {
    char buf[32];
    std::strcpy(buf, c.in);
    char* r = mytrim(buf);
    EXPECT_STREQ(r, c.want) << "'" << c.in << "'";
    EXPECT_GE(r, buf);
    EXPECT_LT(r, buf + sizeof buf);
  }
}

TEST(UtilReadline, LinesLimitsAndEndOfInput) {
  struct Case {
    std::string input;
    size_t maxlen;
    std::vector<std::string> lines;  // "<EOF>" marks the (size_t)-1 result
  } cases[] = {
      {"ab\r\ncd", 16, {"ab", "cd", "<EOF>"}},
      // The limit leaves the line feed behind: it then reads as an empty line.
      {"abcd\n", 3, {"ab", "cd", "", "<EOF>"}},
      {"\n\nx\n", 16, {"", "", "x", "<EOF>"}},
      {"a\rb\r\r\n", 16, {"ab", "<EOF>"}},
      {"", 16, {"<EOF>"}},
      {"ab", 1, {"", ""}},  // no room: nothing is read
  };
  for (const auto& c : cases) {
    std::FILE* f = stream_of(c.input);
    ASSERT_NE(f, nullptr);
    SCOPED_TRACE(c.input);
    for (const auto& want : c.lines) {
      char buf[16];
      std::memset(buf, 'X', sizeof buf);
      const size_t n = myreadline(f, buf, c.maxlen);
      if (want == "<EOF>") {
        EXPECT_EQ(n, static_cast<size_t>(-1));
        EXPECT_STREQ(buf, "");
      } else {
        EXPECT_EQ(n, want.size());
        EXPECT_EQ(std::string(buf), want);
      }
    }
    std::fclose(f);
  }
}

TEST(UtilSprintf, ChainsAppends) {
  char buf[32];
  char* p = mysprintf(buf, "%s=", "k");
  p = mysprintf(p, "%d", 42);
  p = mysprintf(p, "%s", "");
  EXPECT_STREQ(buf, "k=42");
  EXPECT_EQ(p, buf + 4);
}

// Whatever the text holds, the shell hands it over as one argument and runs
// nothing from it.
TEST(UtilExec, ShellQuoteRoundTripsAnyText) {
  testsupport::TempDir dir;
  const std::string out = dir.file("out");
  const std::string canary = dir.file("canary");
  const std::string texts[] = {"plain", "a b", "it's", "'", "''", "$(touch " + canary + ")",
                               "`touch " + canary + "`", "\"q\"; touch " + canary, "\\n\n*", ""};
  for (const std::string& t : texts) {
    testing::internal::CaptureStdout();
    const std::string line = "printf %s " + shell_quote(t) + " > " + shell_quote(out);
    EXPECT_EQ(sys_exec(line.c_str()), 0) << t;
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testsupport::read_file(out), t);
  }
  EXPECT_FALSE(dir.exists("canary"));
}

// Scripts run with SIGPIPE at its default even though the daemon ignores it:
// the shell's own ignored-signal mask must not have SIGPIPE (bit 13).
TEST(UtilExec, CommandsStartWithDefaultSigpipe) {
  signal(SIGPIPE, SIG_IGN);
  testing::internal::CaptureStdout();
  const int r = sys_exec(
      "exit $(( (0x$(awk '/^SigIgn/ {print $2}' /proc/$$/status) >> 12) & 1 ))");
  testing::internal::GetCapturedStdout();
  signal(SIGPIPE, SIG_DFL);
  EXPECT_EQ(r, 0);
}
