// Commands through parse, execute and reply against a scripted gateway and
// stub scripts in a temporary runtime tree; replies compared byte for byte.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "configman.h"
#include "device_radio_fixture.h"
#include "scheduler/scheduler.h"
#include "temp_dir.h"
#include "tinycommand/tinycommand.h"

using testsupport::answer;
using testsupport::RadioAnswer;
using testsupport::RadioRequest;
using testsupport::silence;

namespace {

const std::string kCfgText = "X00640E10ABCDEFGH003C038401F4-tail";
const std::string kSampleText =
    "6553F100006400000"
    "1"
    "1F051";  // 23 characters
const std::string kId32 = "0123456789abcdefABCDEF0123456789";

RadioAnswer healthy(const RadioRequest& r) {
  if (r.cmd == "4SZ") return answer(kCfgText);
  if (r.cmd == "4AR" || r.cmd == "4LS") return answer(kSampleText);
  if (r.cmd == "4RS") return answer("0");
  return answer("0");
}

std::string encoded_sample(const char* key, const std::string& text, int cnt = 0) {
  sample_t s{};
  if (!text.empty()) strToSample(cnt, text.c_str(), &s);
  char buf[1024];
  jsonSample(buf, key, &s, 1);
  return buf;
}

int reloads = 0;

}  // namespace

class CommandTest : public DeviceRadioTest {
 protected:
  testsupport::TempDir dir;
  testsupport::ScopedChdir cd{dir.path()};
  tinycommand_t cmd_{};
  std::string log_;

  void SetUp() override {
    DeviceRadioTest::SetUp();
    // A silent device costs a tenth of a second.
    sercomm_setMaxTimeout(100);
    dir.write("config/.keep", "");
    dir.write("tmp/.keep", "");
    setenv("ZANTOR_TMPDIR", dir.file("tmp").c_str(), 1);
    path_ = std::getenv("PATH");
    setenv("PATH", (dir.file("bin") + ":" + path_).c_str(), 1);
    cfg_acqtime = 900, cfg_inttime = 60, cfg_maxdly = 0, cfg_regist = 0;
    xsclear(&remote_err);
    std::memset(async_sample, 0, sizeof async_sample);
    reloads = 0;
    hook_master_reload = [] { ++reloads; };
    radio_.set_script(healthy);
  }
  void TearDown() override {
    unsetenv("ZANTOR_TMPDIR");
    setenv("PATH", path_.c_str(), 1);
    hook_master_reload = nullptr;
    DeviceRadioTest::TearDown();
  }

  // A script in bin/ that appends its arguments, one a line, to a record,
  // runs extra shell text and exits with code.
  void stub(const std::string& name, int code, const std::string& extra = "") {
    dir.write("bin/" + name, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + dir.file(name + ".args") +
                                 "'\n" + extra + "\nexit " + std::to_string(code) + "\n");
    chmod(dir.file("bin/" + name).c_str(), 0755);
  }
  // The arguments recorded since the last call.
  std::string args(const std::string& name) {
    if (!dir.exists(name + ".args")) return "";
    const std::string a = dir.read(name + ".args");
    std::remove(dir.file(name + ".args").c_str());
    return a;
  }
  // The transfer script: answers with reply when given.
  void transfer_script(int code, const std::string& reply = "") {
    std::remove(dir.file("tmp/remote1.dat").c_str());
    stub("send.sh", code,
         reply.empty() ? "" : "printf '" + reply + "' > \"$ZANTOR_TMPDIR/remote1.dat\"");
    copy_str(cfg_sendscript, dir.file("bin/send.sh"));
  }

  std::string run(const std::string& query) {
    testing::internal::CaptureStdout();
    command_parse(&cmd_, query.c_str(), 4096);
    testing::internal::GetCapturedStdout();
    return execute_and_reply();
  }
  // The reply to an executed command named name with code 0, the rest of
  // cmd_ as the test left it.
  std::string reply_only(const char* name) {
    copy_str(cmd_.cmd, name);
    cmd_.err = ERR_NONE;
    char buf[4096];
    command_tcpreply(&cmd_, buf, sizeof buf);
    return buf;
  }
  std::string execute_and_reply() {
    radio_.clear();
    testing::internal::CaptureStdout();
    command_execute(&cmd_);
    char buf[4096];
    std::memset(buf, 'Z', sizeof buf);
    command_tcpreply(&cmd_, buf, sizeof buf);
    log_ = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::memchr(buf, '\0', sizeof buf), nullptr);
    return buf;
  }

 private:
  std::string path_;
};

TEST_F(CommandTest, RepliesWithoutData) {
  stub("reboot.sh", 0);
  stub("preupgrade.sh", 3);
  const std::string page =
      "<html><body><script language=\"javascript\" type=\"text/javascript\">"
      "parent.cmdCallback('firmware',3);</script></body></html>";
  const struct {
    std::string query, reply;
  } cases[] = {
      {"", "err=2&"},
      {"cmd=nothing", "err=2&"},
      {"cmd=xsetgenid", "err=2&"},
      {"cmd=reboot", "err=0&"},
      {"cmd=getconf", "err=0&"},
      {"cmd=netop", "err=4&"},
      {"cmd=tlx", "err=4&"},
      {"cmd=history&dd1=5", "err=4&"},
      {"cmd=reset", "err=4&"},
      {"cmd=reset&param1=cn1", "err=4&"},
      {"cmd=xsetpointid&param1=" + kId32.substr(1), "err=4&"},
      {"cmd=xsetpointid&param1=" + kId32.substr(1) + "-", "err=4&"},
      {"cmd=firmware", "err=3&"},
      {"cmd=firmware&html=0", page},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(run(c.query), c.reply);
    EXPECT_EQ(cmd_.flag, c.reply == page ? CMDFLAG_HTML : CMDFLAG_TEXT);
  }
  EXPECT_TRUE(radio_.requests().empty());
  EXPECT_EQ(args("preupgrade.sh"), dir.file("tmp/tmp.dat") + "\n" + dir.file("tmp/tmp.dat") + "\n");
  EXPECT_EQ(run("cmd=reload"), "err=0&");
  EXPECT_EQ(reloads, 1);
}

TEST_F(CommandTest, CounterCommandsReachTheRightDevices) {
  cfg_numcounters = 3;
  const struct {
    std::string query;
    int fail_addr;  // this device stays silent
    std::string reply;
    std::vector<std::string> sent;
  } cases[] = {
      {"cmd=netop&param1=abc", 0, "err=0&", {"65535:4CJ:"}},
      {"cmd=netop&param1=1", 65535, "err=5&", {"65535:4PJ:"}},
      {"cmd=reset&param1=gw1", 0, "err=0&", {"65535:4rs:"}},
      // Counters one after the other, up to the first that fails.
      {"cmd=reset&param1=cnt&cnt=0", 2, "err=5&", {"1:4rs:", "2:4rs:"}},
      {"cmd=reset&param1=cnt&cnt=3", 0, "err=0&", {"3:4rs:"}},
      // Every counter is reset; a later success does not hide the failure.
      {"cmd=rstecount", 1, "err=5&", {"1:4CR:00", "2:4CR:00", "3:4CR:00"}},
      {"cmd=async&cnt=2", 2, "err=3&" + encoded_sample("cn2.async", ""), {"2:4AR:"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    radio_.set_script(
        [&](const RadioRequest& r) { return r.dest == c.fail_addr ? silence() : healthy(r); });
    EXPECT_EQ(run(c.query), c.reply);
    EXPECT_EQ(radio_.summary(), c.sent);
  }
}

TEST_F(CommandTest, EnergyValueIsInHundredths) {
  cfg_numcounters = 2;
  EXPECT_EQ(run("cmd=setecount&param1=12.5&cnt=1").substr(0, 10), "err=0&gw1.");
  EXPECT_EQ(radio_.summary(), std::vector<std::string>{"1:4CS:00000004E2"});
  run("cmd=setecount&param1=7");
  EXPECT_EQ(radio_.summary(), (std::vector<std::string>{"1:4CS:00000002BC", "2:4CS:00000002BC"}));
  // Nothing is set for a negative value or one beyond any counter.
  for (const char* v : {"-3", "-0.5", "99999999", "abc"}) {
    run(std::string("cmd=setecount&param1=") + v);
    EXPECT_EQ(cmd_.err, std::string(v) == "abc" ? ERR_NONE : ERR_BADPARAM) << v;
  }
  EXPECT_EQ(radio_.summary(), (std::vector<std::string>{"1:4CS:0000000000", "2:4CS:0000000000"}));
}

TEST_F(CommandTest, WalksWithoutCountersKeepTheirCode) {
  cfg_numcounters = 0;
  for (const char* q : {"cmd=stat", "cmd=async", "cmd=rstecount", "cmd=reset&param1=cnt"}) {
    SCOPED_TRACE(q);
    EXPECT_EQ(run(q), "err=2&");
  }
  EXPECT_EQ(run("cmd=setecount&param1=5").substr(0, 7), "err=4&g");
  EXPECT_TRUE(radio_.requests().empty());
}

TEST_F(CommandTest, PointIdNeedsThirtyTwoLettersOrDigits) {
  EXPECT_EQ(run("cmd=xsetpointid&param1=%20" + kId32 + "%20"), "err=0&update=1&sys.ptid=" + kId32);
  EXPECT_EQ(std::string(varp[SYS_PTID]->value.s), kId32);
  EXPECT_EQ(dir.read("config/pointid.dat"), kId32);
}

TEST_F(CommandTest, NumberOfCounters) {
  const struct {
    const char* v;
    int want;
  } cases[] = {{"7", 1}, {"-1", 1}, {"0", 0}, {"4", 4}};
  for (const auto& c : cases) {
    EXPECT_EQ(run(std::string("cmd=cfgnumcnt&param1=") + c.v).substr(0, 6), "err=0&");
    EXPECT_EQ(cfg_numcounters, c.want) << c.v;
  }
  EXPECT_EQ(run("cmd=cfgnumcnt").substr(0, 7), "err=4&g");
}

TEST_F(CommandTest, CfgChecksEverythingBeforeWriting) {
  cfg_numcounters = 1;
  const std::string base = "cmd=cfg&prezzo=30&co2=530&alrpwr=1&pnom1=3000";
  const struct {
    std::string params;
    int acqtime, err;
  } cases[] = {
      {"&whi1=0.05&pmin1=0", 900, ERR_RANGEPARAM},
      {"&whi1=10&pmin1=141", 900, ERR_RANGEPARAM},  // margin 141 - 141 is not above 0
      {"&whi1=20001&pmin1=0", 900, ERR_RANGEPARAM},
      {"&whi1=1", 900, ERR_BADPARAM},
      {"&whi1=10&pmin1=142", 600, ERR_RANGEPARAM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    cfg_acqtime = c.acqtime;
    const std::string reply = run(base + c.params);
    EXPECT_EQ(cmd_.err, c.err);
    // The dump follows even a refused configuration.
    EXPECT_EQ(reply.substr(reply.size() - 10), "&sys.eop=1");
    EXPECT_TRUE(radio_.requests().empty());
    EXPECT_FALSE(dir.exists("config/prezzo.dat"));
  }
  EXPECT_EQ(run("cmd=cfg&co2=1&alrpwr=1").substr(0, 7), "err=4&g");
}

TEST_F(CommandTest, CfgWritesSystemThenCounters) {
  cfg_numcounters = 2;
  const std::string q =
      "cmd=cfg&prezzo=30&co2=530&alrpwr=0&whi1=10&pnom1=600&pmin1=142"
      "&whi2=1.5&pnom2=3&pmin2=0";
  // Counter 1 silent: counter 2 is still written, the failure is reported.
  radio_.set_script([](const RadioRequest& r) { return r.dest == 1 ? silence() : healthy(r); });
  run(q);
  EXPECT_EQ(cmd_.err, ERR_SERCOMM);
  EXPECT_EQ(cfg_pnomxlmask, 1);
  EXPECT_EQ(dir.read("config/prezzo.dat"), "30");
  EXPECT_NE(log_.find("Writing cn1 config whi=100 pnom=600 pmin="), std::string::npos);
  EXPECT_NE(log_.find("Writing cn2 config whi=15 pnom=3 pmin=0 (scaled=0)"), std::string::npos);
  const auto sent = radio_.summary();
  ASSERT_EQ(sent.size(), 4U);
  EXPECT_EQ(sent[0], "1:4SZ:");
  EXPECT_EQ(sent[2].substr(0, 6), "2:4ST:");

  radio_.set_script(healthy);
  run(q);
  EXPECT_EQ(cmd_.err, ERR_NONE);
}

TEST_F(CommandTest, StatShowsWhatTheCounterHolds) {
  cfg_numcounters = 2;
  last_sendset[0] = sampleset_t{};
  EXPECT_EQ(run("cmd=stat&cnt=1"), "err=0&" + encoded_sample("cn1.lstsam", kSampleText) +
                                       "cn1.nxtsnd=0&cn1.lstsnd=%5B%5D&");
  EXPECT_EQ(radio_.summary(), (std::vector<std::string>{"1:4RS:", "1:4LS:"}));
  // The walk stops at the first counter that fails.
  radio_.set_script([](const RadioRequest& r) { return r.cmd == "4LS" ? silence() : healthy(r); });
  EXPECT_EQ(run("cmd=stat").substr(0, 6), "err=3&");
  EXPECT_EQ(radio_.requests().size(), 2U);
}

TEST_F(CommandTest, SettingsUpload) {
  stub("reboot.sh", 6);
  EXPECT_EQ(run("cmd=putconf"), "err=5&");
  dir.write("tmp/tmp.dat", "# comment\n\nnoequals\n cmd = reboot \n");
  EXPECT_EQ(run("cmd=putconf"), "err=6&");
  EXPECT_TRUE(dir.exists("reboot.sh.args"));
  EXPECT_TRUE(dir.exists("tmp/tmp.dat"));
  // An upload naming the upload again would read itself without end.
  dir.write("tmp/tmp.dat", "cmd=putconf\n");
  EXPECT_EQ(run("cmd=putconf"), "err=4&");
  cfg_numcounters = 1;
  dir.write("tmp/tmp.dat", "prezzo=30\nco2=530\nalrpwr=1\nwhi1=1\npnom1=3000\npmin1=100\n");
  EXPECT_EQ(run("cmd=putconf"), "err=0&");
  EXPECT_EQ(cfg_prezzo, 30);
}

TEST_F(CommandTest, PingRunsOnlyHostNames) {
  stub("ping", 0, "echo 'PING x: 56 data bytes'; echo '2 packets received, 0% loss'");
  EXPECT_EQ(
      run("cmd=ping&param1=fe80::1"),
      "err=0&result=PING%20x%3A%2056%20data%20bytes%0A2%20packets%20received%2C%200%25%20loss%0A");
  EXPECT_EQ(args("ping"), "-c\n2\nfe80::1\n");
  run("cmd=ping");
  EXPECT_EQ(args("ping"), std::string("-c\n2\n") + DEF_PING_ADDR + "\n");
  stub("ping", 1);
  EXPECT_EQ(run("cmd=ping&param1=example.org"), "err=1&");

  args("ping");
  for (const char* target : {"a;touch canary", "$(touch canary)", "`touch canary`",
                             "x'touch canary'", "x\"touch canary\"", "-f", ""}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(run(std::string("cmd=ping&param1=") + target), "err=4&");
  }
  EXPECT_FALSE(dir.exists("canary"));
  EXPECT_EQ(args("ping"), "");
}

TEST_F(CommandTest, LongTextsAreCutInsideTheBuffer) {
  // Every byte of the transcript encodes to three characters.
  stub("ping", 0, "head -c 3000 /dev/zero | tr '\\0' ' '");
  std::string reply = run("cmd=ping&param1=h");
  EXPECT_LE(reply.size(), 4095U);
  EXPECT_GT(reply.size(), 4090U);
  EXPECT_EQ(reply.substr(reply.size() - 3), "%20");

  cmd_.result.i = 5;
  std::memcpy(cmd_.result.s, "AB\r\n\x03", 5);
  EXPECT_EQ(reply_only("tlx"), "err=0&packetlen=5&packet=AB%250D%250A%2503");
  cmd_.result.i = 4096;
  std::memset(cmd_.result.s, 1, sizeof cmd_.result.s);
  reply = reply_only("tlx");
  EXPECT_EQ(reply.substr(reply.size() - 5), "%2501");

  // Variables too long for one reply: whole pairs only, no end mark.
  cfg_numcounters = 4;
  for (int n = 0; n < 4; ++n) {
    for (int id : {CN1_VER, CN1_MAC}) {
      devicevar_t& v = var(n, id);
      v.status = ST_READY;
      std::memset(v.value.s, '/', sizeof v.value.s - 1);
    }
  }
  reply = reply_only("rdall");
  EXPECT_LE(reply.size(), 4095U);
  EXPECT_EQ(reply.back(), '&');
  EXPECT_EQ(reply.find("sys.eop"), std::string::npos);
}

TEST_F(CommandTest, TlxSendsTheBodyAndReturnsTheRawReply) {
  const std::string frame = testsupport::radio_frame(1, 65535, "4VS", "");
  const std::string reply = run("cmd=tlx&param1=" + frame.substr(1, frame.size() - 4));
  EXPECT_EQ(reply.substr(0, 16), "err=0&packetlen=");
  EXPECT_NE(reply.find("&packet=%2502"), std::string::npos);
  EXPECT_EQ(radio_.summary(), std::vector<std::string>{"1:4VS:"});
  radio_.set_script([](const RadioRequest&) { return silence(); });
  EXPECT_EQ(run("cmd=tlx&param1=" + frame.substr(1, frame.size() - 4)), "err=3&");
}

TEST_F(CommandTest, HistoryHandsTheSelectionToTheExport) {
  cfg_numcounters = 2;
  hook_http_reply = [](const char*, int, int, boolean_t, const char*) {};
  hook_http_writeline = [](const char*, size_t n) { return static_cast<ssize_t>(n); };
  // Every counter answers that it holds nothing from then on.
  radio_.set_script([](const RadioRequest&) { return answer("FFFFFFFF0000000000000"); });
  const struct {
    const char* q;
    std::vector<std::string> sent;
  } cases[] = {
      {"", {"1:4SM:5F5E1000", "2:4SM:5F5E1000"}},
      {"&cnt=7", {"1:4SM:5F5E1000", "2:4SM:5F5E1000"}},  // out of range: all
      {"&cnt=2", {"2:4SM:5F5E1000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.q);
    EXPECT_EQ(run(std::string("cmd=history&dd1=1600000000&dd2=1600000000") + c.q), "err=0&");
    EXPECT_EQ(cmd_.flag, CMDFLAG_TEXT | CMDFLAG_STREAMED);
    EXPECT_EQ(radio_.summary(), c.sent);
  }
  hook_http_reply = nullptr;
  hook_http_writeline = nullptr;
}

TEST_F(CommandTest, SendtestNeedsRegistration) {
  EXPECT_EQ(run("cmd=sendtest"),
            "err=11&" + encoded_sample("cn1.async", "") + "sys.remerr=Impianto%20non%20registrato");
  EXPECT_TRUE(radio_.requests().empty());
}

TEST_F(CommandTest, DumpListsGatewaySystemAndCounters) {
  cfg_numcounters = 2;
  xsstrcpy(&remote_err, "no reply");
  const std::string reply = run("cmd=rdall");
  EXPECT_EQ(reply.substr(0, 14), "err=0&gw1.mac=");
  EXPECT_LT(reply.find("&sys.ver="), reply.find("&cn1.mac="));
  EXPECT_LT(reply.find("&cn1.on="), reply.find("&cn2.mac="));
  EXPECT_EQ(reply.find("cn3."), std::string::npos);
  EXPECT_EQ(reply.find(".ping="), std::string::npos);  // hidden
  const std::string tail = "&&sys.remerr=no%20reply&sys.eop=1";
  EXPECT_EQ(reply.substr(reply.size() - tail.size()), tail);
  EXPECT_LT(reply.rfind("&cn2.on="), reply.size() - tail.size());
}

TEST_F(CommandTest, RegistrationStoresTheTextsAndRunsNothingFromThem) {
  transfer_script(0, "ok");
  const std::string url = "http://h/$(touch canary)";
  EXPECT_EQ(run("cmd=register&srvurl=" + url +
                "&nimp=a;touch canary&indir=`touch canary`"
                "&cmail=%20q'\"%20")
                .substr(0, 7),
            "err=0&g");
  EXPECT_FALSE(dir.exists("canary"));
  EXPECT_EQ(std::string(cfg_srvurl), url);
  EXPECT_EQ(dir.read("config/cmail.dat"), "q'\"");
  EXPECT_EQ(cfg_regist, 1);
  // Registration, then status and configuration.
  std::string a = args("send.sh");
  for (const char* flags : {"\n1\n0\n", "\n4\n1\n", "\n2\n1\n"}) {
    ASSERT_EQ(a.rfind(url + flags, 0), 0U) << a;
    a.erase(0, a.find(url, 1));
  }

  cfg_regist = 0;
  EXPECT_EQ(run("cmd=register&srvurl=%20&nimp=&indir=&cmail=").substr(0, 7), "err=8&g");
  EXPECT_EQ(run("cmd=register&srvurl=u&nimp=&indir=").substr(0, 7), "err=4&g");
  transfer_script(7);
  EXPECT_EQ(run("cmd=register&srvurl=u&nimp=&indir=&cmail="),
            "err=7&sys.remerr=Server%20remoto%20non%20raggiungibile%20o%20nessuna%20risposta%20"
            "ricevuta");
  EXPECT_EQ(cfg_regist, 0);
}

TEST_F(CommandTest, SendtestReadsCounterOneAndSendsIt) {
  cfg_numcounters = 2;
  cfg_regist = 1;
  strToSample(1, kSampleText.c_str(), &async_sample[1]);
  transfer_script(0, "ok");
  EXPECT_EQ(run("cmd=sendtest"), "err=0&" + encoded_sample("cn1.async", kSampleText) +
                                     encoded_sample("cn2.async", kSampleText, 1));
  EXPECT_EQ(radio_.summary(), std::vector<std::string>{"1:4AR:"});
  EXPECT_NE(args("send.sh").find("\n24\n1\n"), std::string::npos);

  transfer_script(3, "down");
  EXPECT_EQ(run("cmd=sendtest&cnt=1"),
            "err=7&" + encoded_sample("cn1.async", kSampleText) + "sys.remerr=down");
  // A configuration change goes to a registered plant's server.
  transfer_script(0, "ok");
  run("cmd=cfg&prezzo=1&co2=1&alrpwr=1&whi1=1&pnom1=3&pmin1=0&whi2=1&pnom2=3&pmin2=0");
  EXPECT_EQ(cmd_.err, ERR_NONE);
  EXPECT_NE(args("send.sh").find("\n2\n1\n"), std::string::npos);
}

TEST_F(CommandTest, NetworkSettingsAreCheckedThenTheBoardReboots) {
  stub("reboot.sh", 0);
  const std::string ok = "cmd=cfgnet&dhcp=0&ip=192.168.1.10&gway=192.168.1.1&dns=8.8.8.8";
  const struct {
    std::string query;
    int err;
  } cases[] = {
      {ok + "&mask=255.255.255.0", ERR_BADPARAM},  // no ntpsrv
      {ok + "&mask=255.255.0.255&ntpsrv=pool.ntp.org", ERR_BADIP},
      {ok + "&mask=0.0.0.255&ntpsrv=pool.ntp.org", ERR_BADIP},
      {ok + "&mask=255.255.255.0x&ntpsrv=pool.ntp.org", ERR_BADIP},
      {"cmd=cfgnet&dhcp=1&ip=1.2.3.4;x&gway=1.2.3.4&dns=1.2.3.4&mask=0.0.0.0&ntpsrv=a", ERR_BADIP},
      {ok + "&mask=255.255.255.0&ntpsrv=%20", ERR_RANGEPARAM},
      // The name becomes a line of the NTP daemon's configuration.
      {ok + "&mask=255.255.255.0&ntpsrv=a%0Arestrict%20default", ERR_RANGEPARAM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    run(c.query);
    EXPECT_EQ(cmd_.err, c.err);
  }
  EXPECT_EQ(args("reboot.sh"), "");
  EXPECT_FALSE(dir.exists("config/ntpsrv.dat"));

  EXPECT_EQ(run(ok + "&mask=%20255.255.255.0&ntpsrv=pool.ntp.org").substr(0, 7), "err=0&g");
  EXPECT_EQ(dir.read("config/mask.dat"), "255.255.255.0");
  EXPECT_EQ(args("reboot.sh"), "\n");
}
