// Query-string parsing into the command record, the parameter helpers and
// the sample and callback formatters.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "core/settings.h"
#include "tinycommand/tinycommand.h"

namespace {

// The record is large; keep it off the stack.
std::unique_ptr<tinycommand_t> parse(const std::string& text, int bufsize = 4096) {
  auto cmd = std::make_unique<tinycommand_t>();
  command_parse(cmd.get(), text.c_str(), bufsize);
  return cmd;
}

// "name=value" per parameter joined by " | "; an integer adds "#value", and
// anything but an exact PAR_STR with i 0 or PAR_INT shows its raw fields.
std::string params(const tinycommand_t& cmd) {
  std::string out;
  for (int k = 0; k < cmd.numargs; ++k) {
    const tinyparam_t& p = cmd.args[k];
    if (k > 0) out += " | ";
    out += std::string(p.name) + "=" + p.s;
    if (p.xtype == PAR_INT) {
      out += "#" + std::to_string(p.i);
    } else if (p.xtype != PAR_STR || p.i != 0) {
      out += " ?" + std::to_string(p.xtype) + "/" + std::to_string(p.i);
    }
  }
  return out;
}

bool all_zero(const void* p, std::size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

}  // namespace

TEST(CommandParse, PairsEscapesAndTypes) {
  struct Case {
    const char* text;
    const char* cmd;
    const char* pars;
  };
  const Case cases[] = {
      {"", "", ""},
      {"cmd=rdall&cnt=2", "rdall", "cnt=2#2"},
      {"a=b=c", "", "a=b=c"},
      {"a&b=1", "", "ab=1#1"},
      {"=x=1", "", "x=1#1"},
      {"a=&b=2", "", "a= | b=2#2"},
      {"v=%41%2b", "", "v=A+"},
      {"k=x%26y", "", "k=x&y"},
      {"a%3Db=1", "", "ab=1#1"},
      // Escapes count in every state: one starts a key, one lands in a key.
      {"%61%62=1", "", "ab=1#1"},
      {"x=1+2", "", "x=1+2"},
      {"x=12a", "", "x=12a"},
      {"x=-12", "", "x=-12#-12"},
      {"x=+7", "", "x=+7#7"},
      {"x=", "", "x="},
      {"x=1.5", "", "x=1.5"},
      {"x=-", "", "x=-"},
      {"x=99999999999", "", "x=99999999999#2147483647"},
      {"x=-99999999999", "", "x=-99999999999#-2147483648"},
      // Keys without "=" are dropped; junk between pairs is skipped.
      {"k&&&a=1&zz", "", "ka=1#1"},
      {"!!a b=1", "", "ab=1#1"},
      // A '%' without two characters after it stays a plain '%'.
      {"v=ab%", "", "v=ab%"},
      {"v=ab%4", "", "v=ab%4"},
      {"v=%", "", "v=%"},
      // Bytes of 0x80 and above: skipped in keys, kept in values, decoded
      // from escapes alike on signed- and unsigned-char platforms.
      {"a\xC3\xA9"
       "b=\xC3\xA9",
       "", "ab=\xC3\xA9"},
      {"v=%c3%A9%fF", "", "v=\xC3\xA9\xFF"},
      {"cmd=a&cmd=stat", "stat", ""},
      {"cmd=%72dall", "rdall", ""},
  };
  for (const Case& c : cases) {
    const auto cmd = parse(c.text);
    EXPECT_STREQ(cmd->cmd, c.cmd) << c.text;
    EXPECT_EQ(params(*cmd), c.pars) << c.text;
  }
}

TEST(CommandParse, LimitsCutOrDrop) {
  // The parser keeps 1023 value characters: a letter at 1024 is dropped and
  // the value still reads as a number; one at 1023 is kept. The parameter
  // field then keeps 255 of them.
  const auto cut = parse("x=" + std::string(1023, '1') + "z&w=2");
  EXPECT_EQ(params(*cut), "x=" + std::string(255, '1') + "#2147483647 | w=2#2");
  const auto kept = parse("x=" + std::string(1022, '1') + "z");
  EXPECT_EQ(kept->args[0].xtype, PAR_STR);

  // 33 pairs keep 32; a "cmd" after them still names the command.
  std::string text;
  for (int k = 0; k < 33; ++k) text += "p" + std::to_string(k) + "=" + std::to_string(k) + "&";
  const auto many = parse(text + "cmd=rdall");
  EXPECT_EQ(many->numargs, NUM_ARGS);
  EXPECT_STREQ(many->args[31].name, "p31");
  EXPECT_STREQ(many->cmd, "rdall");

  // A 20-letter key keeps 15; a 20-letter command name keeps 15.
  const auto names = parse("abcdefghijklmnopqrst=1&cmd=abcdefghijklmnopqrst");
  EXPECT_EQ(params(*names), "abcdefghijklmno=1#1");
  EXPECT_STREQ(names->cmd, "abcdefghijklmno");
}

TEST(CommandParse, ReadsOnlyBufsizeAndClearsTheRecord) {
  auto cmd = parse("cmd=stat&a=1&b=2");
  cmd->err = 5;
  cmd->flag = CMDFLAG_HTML;
  cmd->result.i = 9;
  // Unterminated exact-size arrays: ASan reports any read past them.
  const char raw[] = {'a', '=', '1', '2', '3', '4'};
  command_parse(cmd.get(), raw, 4);
  EXPECT_EQ(params(*cmd), "a=12#12");
  EXPECT_STREQ(cmd->cmd, "");
  EXPECT_EQ(cmd->err + cmd->flag + cmd->result.i, 0);
  EXPECT_TRUE(all_zero(&cmd->args[1], sizeof(tinyparam_t)));

  // An escape is decoded only while it starts before the last three
  // positions of the buffer.
  const char tail[] = {'v', '=', 'a', 'b', '%', '4'};
  command_parse(cmd.get(), tail, sizeof(tail));
  EXPECT_EQ(params(*cmd), "v=ab%4");
  const char edge[] = {'v', '=', '%', '4', '1'};
  command_parse(cmd.get(), edge, sizeof(edge));
  EXPECT_EQ(params(*cmd), "v=%41");
  command_parse(cmd.get(), "v=%41", 6);
  EXPECT_EQ(params(*cmd), "v=A");

  command_parse(cmd.get(), "a=1", 0);
  EXPECT_EQ(cmd->numargs, 0);
}

TEST(CommandParse, PushargCutsOverlongTextToItsFields) {
  auto cmd = std::make_unique<tinycommand_t>();
  std::memset(cmd.get(), 0, sizeof(*cmd));

  pusharg(cmd.get(), "cmd", std::string(40, 'c').c_str());
  EXPECT_EQ(std::string(cmd->cmd), std::string(15, 'c'));
  EXPECT_TRUE(all_zero(&cmd->args[0], sizeof(tinyparam_t)));

  // The multipart reader and settings files hand in names of up to 255
  // and values of up to 4095 characters.
  pusharg(cmd.get(), std::string(255, 'n').c_str(), std::string(4095, '7').c_str());
  EXPECT_EQ(params(*cmd), std::string(15, 'n') + "=" + std::string(255, '7') + "#2147483647");
  EXPECT_TRUE(all_zero(&cmd->args[1], sizeof(tinyparam_t)));
}

TEST(CommandParse, FindParamReturnsTheFirstExactMatch) {
  const auto cmd = parse("cmd=stat&cnt=1&cnt=2&Cnt=3&cntx=4");
  ASSERT_NE(find_param(cmd.get(), "cnt"), nullptr);
  EXPECT_EQ(find_param(cmd.get(), "cnt")->i, 1);
  EXPECT_EQ(find_param(cmd.get(), "Cnt")->i, 3);
  for (const char* absent : {"CNT", "cn", "cmd"}) EXPECT_EQ(find_param(cmd.get(), absent), nullptr);
}

TEST(CommandParse, PickCnt) {
  const int saved = cfg_numcounters;
  struct Case {
    const char* text;
    int numcounters;
    int want;
  };
  const Case cases[] = {
      {"cmd=stat", 2, CNT_ALL}, {"cnt=0", 2, CNT_ALL}, {"cnt=1", 2, 0},  {"cnt=2", 2, 1},
      {"cnt=3", 2, 0},          {"cnt=9", 2, 0},       {"cnt=-1", 2, 0}, {"cnt=abc", 2, CNT_ALL},
      {"cnt=4", 4, 3},          {"cnt=1", 0, 0},
  };
  for (const Case& c : cases) {
    cfg_numcounters = c.numcounters;
    EXPECT_EQ(pick_cnt(parse(c.text).get()), c.want) << c.text << " with " << c.numcounters;
  }
  cfg_numcounters = saved;
}

TEST(CommandParse, SampleTexts) {
  const sample_t sam{1600000000, 12345, 1500, 0, -70};
  const std::string plain =
      "{time:\"1600000000\",ptot:\"1500\",\"etot\":12345,\"dbm\":-70,\"alm\":0}";
  const std::string enc =
      "%7Btime%3A%221600000000%22%2Cptot%3A%221500%22%2C%22etot%22%3A12345%2C%22dbm%22%3A-70%2C%22"
      "alm%22%3A0%7D";
  char buf[4096];

  struct Case {
    const char* key;
    boolean_t urlenc;
    std::string want;
  };
  const Case cases[] = {
      {"cn1.lstsam", 0, "cn1.lstsam=" + plain + "&"},
      {"cn1.lstsam", 1, "cn1.lstsam=" + enc + "&"},
      {nullptr, 1, enc},
  };
  for (const Case& c : cases) {
    std::memset(buf, 'X', sizeof(buf));
    char* end = jsonSample(buf, c.key, &sam, c.urlenc);
    EXPECT_EQ(std::string(buf), c.want);
    EXPECT_EQ(end, buf + c.want.size());
  }

  // The time is unsigned in the text.
  const sample_t late{-1, 0, 0, 0, 0};
  jsonSample(buf, nullptr, &late, 0);
  EXPECT_NE(std::string(buf).find("time:\"4294967295\""), std::string::npos) << buf;
}

TEST(CommandParse, SampleSetTexts) {
  sampleset_t set{};
  char buf[4096];

  struct Case {
    int num;
    boolean_t urlenc;
    std::string want;
  };
  const std::string s0 = "{time:\"10\",ptot:\"2\",\"etot\":1,\"dbm\":-60,\"alm\":8}";
  const std::string s1 = "{time:\"20\",ptot:\"4\",\"etot\":3,\"dbm\":-61,\"alm\":0}";
  const std::string s2 = "{time:\"30\",ptot:\"6\",\"etot\":5,\"dbm\":-62,\"alm\":1}";
  set.el[0] = {10, 1, 2, 8, -60};
  set.el[1] = {20, 3, 4, 0, -61};
  set.el[2] = {30, 5, 6, 1, -62};
  const Case cases[] = {
      {0, 1, "cn1.nxtsnd=%5B%5D&"},
      {2, 0, "cn1.nxtsnd=[" + s0 + "," + s1 + "]&"},
      {1, 1,
       "cn1.nxtsnd=%5B%7Btime%3A%2210%22%2Cptot%3A%222%22%2C%22etot%22%3A1%2C%22dbm%22%3A-60%2C"
       "%22alm%22%3A8%7D%5D&"},
      // A count outside the set's capacity never reads past it.
      {7, 0, "cn1.nxtsnd=[" + s0 + "," + s1 + "," + s2 + "]&"},
      {-3, 0, "cn1.nxtsnd=[]&"},
  };
  for (const Case& c : cases) {
    set.num = c.num;
    char* end = jsonSampleSet(buf, "cn1.nxtsnd", &set, c.urlenc);
    EXPECT_EQ(std::string(buf), c.want) << c.num;
    EXPECT_EQ(end, buf + c.want.size());
  }
}

TEST(CommandParse, CallbackPage) {
  const auto cmd = parse("cmd=firmware&html=1");
  char buf[4096];
  js_callback(cmd.get(), buf);
  EXPECT_STREQ(buf,
               "<html><body><script language=\"javascript\" type=\"text/javascript\">"
               "parent.cmdCallback('firmware',0);</script></body></html>");
}
