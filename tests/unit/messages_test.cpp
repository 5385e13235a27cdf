// The documents for the monitoring server, byte for byte, and the reply
// conversion used for upgrade requests.
#include <gtest/gtest.h>

#include <string>

#include "core/settings.h"
#include "device/device.h"
#include "fake_clock.h"
#include "scheduler/scheduler.h"
#include "util.h"

using testsupport::FakeClock;
using testsupport::ScopedClock;

namespace {

const std::string kHead = R"("sn":"0040F4A1B2C3","DATI":{)";

class Messages : public testing::Test {
 protected:
  FakeClock clock{1700000000};  // 14/11/2023 22:13:20 UTC
  ScopedClock use_clock{clock};

  void SetUp() override {
    device_init();
    copy_str(varp[SYS_SN]->value.s, "0040F4A1B2C3");
    copy_str(cfg_nimp, "Impianto Sole");
    copy_str(cfg_indir, "Via Roma 1");
    copy_str(cfg_cmail, "a@b.it");
    cfg_acqtime = 900;
    cfg_co2 = 531;
    cfg_prezzo = 274;
    fail_conn = 5, fail_setstatus = 4, fail_setconf = 0, fail_setdatalog = 1;
    for (auto& a : alm_list) a.start = a.stop = a.fchanged = 0;
  }
  void TearDown() override {
    for (auto& a : alm_list) a.start = a.stop = a.fchanged = 0;
  }
  template <typename F>
  static std::string build(F f) {
    XSTRING(s, buf, 8000);
    f(&s);
    return s.s;
  }
  static std::string status(int stato, const char* alrm, const char* nimp = "Impianto Sole") {
    return R"({"act":"setStatus",)" + kHead + R"("serialN":"7ulmi100000","nomeInstall":")" + nimp +
           R"(","version":"7ULMI-V100.100","webPort":0,"timeZone":"Europe/Rome","statoOnOff":1,)" +
           R"("stato":)" + std::to_string(stato) + R"(,"alrm":")" + alrm +
           R"(","timeOutRefreshCns":4050}})";
  }
};

sampleset_t two_samples(int cnt) {
  sampleset_t set{};
  set.cnt = cnt;
  set.num = 2;
  set.el[0] = {1700000100, 250, 12345, 2, -70};
  set.el[1] = {1700000000, 251, 0, 8, 0};
  return set;
}

const std::string kDataLog1 =
    R"({"act":"setDataLog",)" + kHead +
    R"("nome":"100000","id":"1000000","lblTab":"Produzione","periodoImp":"900","periodoR":"900",)"
    R"("start":"1700000000","stop":"1700000100","lbl":[)"
    R"({"name":"utc","lbl":"utc","type":"utc","unit":"","id":"1"},)"
    R"({"name":"stato","lbl":"stato","type":"stato","unit":"","id":"2"},)"
    R"({"name":"1000000002","lbl":"Potenza prodotta","type":"ana","unit":"[kW]","id":"1000000002"},)"
    R"({"name":"1000000003","lbl":"Energia prodotta","type":"ana","unit":"[kW/h]","id":"1000000003"},)"
    R"({"name":"1000000006","lbl":"Allarme PV","type":"dig","unit":"[*]","id":"1000000006"},)"
    R"({"name":"1000000007","lbl":"Segnale PV","type":"ana","unit":"[dBm]","id":"1000000007"},)"
    R"({"name":"1000000008","lbl":"Assenza PV","type":"dig","unit":"[*]","id":"1000000008"}],)"
    R"("dati":[[1700000100,0,"123.45","2.50",1,-70,0],[1700000000,0,"0.00","2.51",0,0,1]]}})";

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (auto p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size())) {
    s.replace(p, from.size(), to);
  }
  return s;
}

}  // namespace

TEST_F(Messages, InitConfCarriesThePlantAndTheSerialAsAccount) {
  EXPECT_EQ(build(build_initConf),
            R"({"act":"initConf",)" + kHead +
                R"("name":"Impianto Sole","address":"Via Roma 1","notes":"",)"
                R"("username":"0040F4A1B2C3","password":"0040F4A1B2C3",)"
                R"("eMail":"a@b.it","installerCode":""}})");
}

TEST_F(Messages, TextValuesAreEscapedSoTheDocumentStaysValid) {
  copy_str(cfg_nimp, "Rossi \"Sole\" \\ 1\n\x01");
  EXPECT_EQ(build(build_setStatus), status(0, "", R"(Rossi \"Sole\" \\ 1\n\u0001)"));
}

TEST_F(Messages, StatusShowsTheEarliestActiveAlarm) {
  const struct {
    time_t start0, stop0, start1;
    int stato;
    const char* alrm;
  } cases[] = {
      {0, 0, 0, 0, ""},
      {1000000, 0, 0, 1, "Allarme PV"},
      {1000000, 1000900, 0, 0, ""},  // ended: not active
      {1000000, 0, 999999, 1, "Assenza PV"},
      {1000000, 0, 1000001, 1, "Allarme PV"},
      {1000000, 1000900, 1000001, 1, "Assenza PV"},
  };
  for (const auto& c : cases) {
    alm_list[0].start = c.start0;
    alm_list[0].stop = c.stop0;
    alm_list[1].start = c.start1;
    EXPECT_EQ(build(build_setStatus), status(c.stato, c.alrm)) << c.start0 << " " << c.start1;
  }
}

TEST_F(Messages, ConfListsTheFifteenParameters) {
  copy_str(varp[GW1_VER]->value.s, "0A0B0C07");  // only six digits count
  counter4_t& cn = counter_list[0];
  copy_str(cn.pvars[CN1_VER]->value.s, "060419");
  cn.pvars[CN1_WHI]->value.i = 10;
  cn.pvars[CN1_PMIN]->value.i = 921;
  cn.pvars[CN1_PNOM]->value.i = 6;
  const char* entries[][4] = {
      {"Brumoxa Version", "3.2.0", "", "3"},
      {"Connection Type", "ORBEX ADSL", "", "3"},
      {"Data e Ora UTC", "14/11/2023 22:13:20", "dd/mm/yyyy hh:mm:ss", "3"},
      {"Seriale", "0040F4A1B2C3", "", "3"},
      {"Vers Firmware GW", "10.11.12", "", "3"},
      {"Vers Firmware CN", "6.4.25", "", "3"},
      {"Wh/impulso", "1.0", "Wh/Impulso", "7"},
      {"Soglia Potenza Minima", "1.000", "kW", "7"},
      {"Valore Impianto", "6", "kW", "7"},
      {"Equivalenza CO2", "0.531", "kgCO2/kWh", "7"},
      {"Prezzo Energia Prodotta", "0.274", "euro/kWh", "7"},
      {"Connessioni fallite", "5", "", "3"},
      {"SetStatus fallite", "4", "", "3"},
      {"SetConf fallite", "0", "", "3"},
      {"SetDataLog fallite", "1", "", "3"},
  };
  std::string want = R"({"act":"setConf",)" + kHead + R"("param":[)";
  for (const auto& e : entries) {
    if (&e != &entries[0]) want += ",";
    want += std::string(R"({"name":")") + e[0] + R"(", "lbl":")" + e[0] + R"(", "value":")" + e[1] +
            R"(", "unit":")" + e[2] + R"(", "vis":")" + e[3] + "\"}";
  }
  EXPECT_EQ(build(build_setConf), want + "]}}");
}

TEST_F(Messages, DataLogCarriesTheCountersOwnIds) {
  sampleset_t set = two_samples(0);
  EXPECT_EQ(build([&](xstring_p s) { build_setDataLog(s, &set); }), kDataLog1);
  set.cnt = 1;
  const std::string want2 =
      replace_all(replace_all(kDataLog1, "\"1000000", "\"2000000"), "\"100000\"", "\"200000\"");
  EXPECT_EQ(build([&](xstring_p s) { build_setDataLog(s, &set); }), want2);
  set.num = 0;
  EXPECT_EQ(build([&](xstring_p s) { build_setDataLog(s, &set); }), "");
  EXPECT_EQ(build([](xstring_p s) { build_setDataLog(s, nullptr); }), "");
}

TEST_F(Messages, AlarmsListTheChangedRecordsAndTheActiveStarts) {
  const std::string head =
      R"({"act":"setAlarms",)" + kHead +
      R"("CAMPI":["nomeAlr","start","stop","statoAlr","livelloAlr"],"DATI": [)";
  auto alarms = [this] { return build([](xstring_p s) { build_setAlarms(s, nullptr); }); };
  alm_list[0].start = 1000000;  // raised but already reported
  EXPECT_EQ(alarms(), head + R"(],"ACTIVE":[]}})");

  alm_list[0].stop = 1000900;
  alm_list[0].fchanged = 1;
  alm_list[1].start = 1000001;
  alm_list[1].fchanged = 1;
  EXPECT_EQ(alarms(),
            head + R"(["Allarme PV",1000000,1000900,"ENDED_ALARM","warning"],)" +
                R"(["Assenza PV",1000001,0,"ALARM_ATTIVO","warning"]],"ACTIVE":[1000001]}})");
  alm_list[0].stop = 0;
  EXPECT_EQ(alarms(), head + R"(["Allarme PV",1000000,0,"ALARM_ATTIVO","warning"],)" +
                          R"(["Assenza PV",1000001,0,"ALARM_ATTIVO","warning"]],)" +
                          R"("ACTIVE":[1000000,1000001]}})");
}

TEST(HackJson, TurnsARepliesKeysIntoAQuery) {
  const struct {
    const char* reply;
    const char* query;
  } cases[] = {
      {R"({"utc":1700000000,"ftp":"srv","prt":21})", "utc=1700000000&ftp=srv&prt=21&"},
      {"", ""},
      {R"({"pth":"a b:c","x":[1,2]})", "pth=ab=c&x=&1&2&"},
      {"[{}],a", "a"},
  };
  for (const auto& c : cases) {
    std::string dest(std::string(c.reply).size() + 1, '#');
    hack_json(c.reply, dest.data());
    EXPECT_STREQ(dest.c_str(), c.query) << c.reply;
  }
}
