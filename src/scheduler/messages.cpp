// The JSON documents sent to the monitoring server, and the conversion of
// its replies into command queries.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "config.h"
#include "core/settings.h"
#include "device/device.h"
#include "scheduler/scheduler.h"
#include "sys/clock.h"
#include "util.h"

namespace {

// Fixed labels the server knows this kind of gateway by.
constexpr const char* APP_7ULMIVER = "7ULMI-V100.100";
constexpr const char* SERIAL_LABEL = "7ulmi100000";
constexpr const char* CONNECTION_LABEL = "ORBEX ADSL";
constexpr const char* TIME_ZONE = "Europe/Rome";
// The data log always announces the counters' fixed 15-minute period.
constexpr int DATALOG_PERIOD = 900;

// A text value in the form a JSON string needs: quote, backslash and
// control characters escaped, every other byte unchanged. A plant name with
// a quote must not break the document. Lives for one full expression.
class json_text {
 public:
  explicit json_text(const char* src) {
    if (src == nullptr) src = "";
    if (!needs_escape(src)) {
      text_ = src;
      return;
    }
    std::size_t n = 0;
    for (const char* p = src; *p != '\0'; ++p) {
      char esc[8];
      const std::size_t k = escape(static_cast<unsigned char>(*p), esc);
      if (n + k >= sizeof(buf_)) break;  // cut before an escape, never inside one
      std::memcpy(buf_ + n, esc, k);
      n += k;
    }
    buf_[n] = '\0';
    text_ = buf_;
  }
  json_text(const json_text&) = delete;
  json_text& operator=(const json_text&) = delete;

  const char* c_str() const { return text_; }

 private:
  static bool needs_escape(const char* p) {
    for (; *p != '\0'; ++p) {
      const auto c = static_cast<unsigned char>(*p);
      if (c < 0x20 || c == '"' || c == '\\') return true;
    }
    return false;
  }
  static std::size_t escape(unsigned char c, char* out) {
    static constexpr struct {
      char c;
      const char* esc;
    } named[] = {{'"', "\\\""}, {'\\', "\\\\"}, {'\b', "\\b"}, {'\f', "\\f"},
                 {'\n', "\\n"}, {'\r', "\\r"},  {'\t', "\\t"}};
    for (const auto& n : named) {
      if (static_cast<unsigned char>(n.c) == c) {
        std::memcpy(out, n.esc, 3);
        return 2;
      }
    }
    if (c < 0x20) {
      std::snprintf(out, 8, "\\u%04X", static_cast<unsigned>(c));
      return 6;
    }
    out[0] = static_cast<char>(c);
    return 1;
  }

  const char* text_;
  // Room for a whole variable text with every character escaped.
  char buf_[6 * MAX_TINYVAL_STRLEN + 1];
};

const char* serial_number() { return varp[SYS_SN]->value.s; }

// Firmware versions are three hex byte fields: "060419" shows as 6.4.25.
void version_text(char (&out)[24], const char* text) {
  char digits[7];
  copy_str(digits, text);
  const int v = xtoi(digits, -1);
  std::snprintf(out, sizeof out, "%d.%d.%d", v / 65536, (v / 256) % 256, v % 256);
}

// Only the entries the set claims and the record can hold.
int sample_count(const sampleset_t& set) {
  if (set.num < 0) return 0;
  return set.num > MAX_SAMPLE ? MAX_SAMPLE : set.num;
}

}  // namespace

void build_head(xstring_p s, const char* action, const char* aux) {
  xsprintf(s, "{\"act\":\"%s\",\"sn\":\"%s\",\"DATI\":{%s", json_text(action).c_str(),
           json_text(serial_number()).c_str(), aux);
}

void xsConf(xstring_p s, const char* name, const char* lbl, const char* value, const char* unit,
            int vis, int comma) {
  if (lbl == nullptr) lbl = name;
  xsprintf(s,
           "{\"name\":\"%s\", \"lbl\":\"%s\", \"value\":\"%s\", \"unit\":\"%s\", "
           "\"vis\":\"%d\"}%s",
           json_text(name).c_str(), json_text(lbl).c_str(), json_text(value).c_str(),
           json_text(unit).c_str(), vis, comma != 0 ? "," : "");
}

void xsConfInt(xstring_p s, const char* name, const char* lbl, int value, const char* unit, int vis,
               int comma) {
  if (lbl == nullptr) lbl = name;
  xsprintf(s,
           "{\"name\":\"%s\", \"lbl\":\"%s\", \"value\":\"%d\", \"unit\":\"%s\", "
           "\"vis\":\"%d\"}%s",
           json_text(name).c_str(), json_text(lbl).c_str(), value, json_text(unit).c_str(), vis,
           comma != 0 ? "," : "");
}

void xsVarLab(xstring_p s, const char* name, const char* lbl, const char* type, const char* unit,
              const char* id, int comma) {
  xsprintf(s, "{\"name\":\"%s\",\"lbl\":\"%s\",\"type\":\"%s\",\"unit\":\"%s\",\"id\":\"%s\"}%s",
           json_text(name).c_str(), json_text(lbl).c_str(), json_text(type).c_str(),
           json_text(unit).c_str(), json_text(id).c_str(), comma != 0 ? "," : "");
}

void xsData(xstring_p s, const sampleset_t* sset) {
  if (sset == nullptr) return;
  const int num = sample_count(*sset);
  for (int i = 0; i < num; ++i) {
    const sample_t& e = sset->el[i];
    xsprintf(s, "%s[%d,%d,\"%.2f\",\"%.2f\",%d,%d,%d]", i == 0 ? "" : ",", e.time, 0,
             e.ptot / FSCALE_KW, e.etot / FSCALE_KW, (e.alm & MSK_ALM_PV) != 0 ? 1 : 0, e.dbm,
             (e.alm & MSK_ALM_ASSENZAPV) != 0 ? 1 : 0);
  }
}

void build_initConf(xstring_p s) {
  build_head(s, "initConf", "");
  // The serial number is both user name and password of the plant's account.
  const char* sn = serial_number();
  xsprintf(s,
           "\"name\":\"%s\",\"address\":\"%s\",\"notes\":\"\",\"username\":\"%s\","
           "\"password\":\"%s\"",
           json_text(cfg_nimp).c_str(), json_text(cfg_indir).c_str(), json_text(sn).c_str(),
           json_text(sn).c_str());
  xsprintf(s, ",\"eMail\":\"%s\",\"installerCode\":\"\"", json_text(cfg_cmail).c_str());
  xsprintf(s, "}}");
}

void build_setStatus(xstring_p s) {
  const int falm = alm_global();
  // With both alarms active the server shows the one that started first.
  const char* alrm = "";
  const alarmrec_t* first = nullptr;
  for (int i = 0; i < NUM_ALM; ++i) {
    if (alm_active(i) && (first == nullptr || alm_list[i].start < first->start)) {
      first = &alm_list[i];
    }
  }
  if (falm != 0 && first != nullptr) alrm = first->desc;

  build_head(s, "setStatus", "");
  xsprintf(s,
           "\"serialN\":\"%s\",\"nomeInstall\":\"%s\",\"version\":\"%s\",\"webPort\":0,"
           "\"timeZone\":\"%s\",\"statoOnOff\":%d",
           SERIAL_LABEL, json_text(cfg_nimp).c_str(), APP_7ULMIVER, TIME_ZONE, 1);
  // 4.5 acquisition periods; 64-bit so a huge setting cannot overflow.
  const long long refresh = static_cast<long long>(cfg_acqtime) * 45 / 10;
  xsprintf(s, ",\"stato\":%d,\"alrm\":\"%s\",\"timeOutRefreshCns\":%lld}}", falm != 0 ? 1 : 0,
           json_text(alrm).c_str(), refresh);
}

void build_setConf(xstring_p s) {
  const counter4_t* cn = &counter_list[0];

  char now[32];
  const struct tm utc = sys::utc_tm(sys::clock().now());
  if (std::strftime(now, sizeof now, "%d/%m/%Y %H:%M:%S", &utc) == 0) now[0] = '\0';
  char gw_ver[24];
  version_text(gw_ver, varp[GW1_VER]->value.s);
  char cn_ver[24];
  version_text(cn_ver, cn->pvars[CN1_VER]->value.s);
  char whi[32];
  std::snprintf(whi, sizeof whi, "%.1f", cn->pvars[CN1_WHI]->value.i / FSCALE_WHI);
  char pmin[32];
  std::snprintf(pmin, sizeof pmin, "%.3f", getPmin(cn) / 1000.0);
  char pnom[16];
  std::snprintf(pnom, sizeof pnom, "%d", cn->pvars[CN1_PNOM]->value.i);
  char co2[32];
  std::snprintf(co2, sizeof co2, "%.3f", cfg_co2 / 1000.0);
  char prezzo[32];
  std::snprintf(prezzo, sizeof prezzo, "%.3f", cfg_prezzo / 1000.0);

  build_head(s, "setConf", "\"param\":[");
  xsConf(s, "Brumoxa Version", nullptr, APP_STRVER, "", 3, 1);
  xsConf(s, "Connection Type", nullptr, CONNECTION_LABEL, "", 3, 1);
  xsConf(s, "Data e Ora UTC", nullptr, now, "dd/mm/yyyy hh:mm:ss", 3, 1);
  xsConf(s, "Seriale", nullptr, serial_number(), "", 3, 1);
  xsConf(s, "Vers Firmware GW", nullptr, gw_ver, "", 3, 1);
  xsConf(s, "Vers Firmware CN", nullptr, cn_ver, "", 3, 1);
  xsConf(s, "Wh/impulso", nullptr, whi, "Wh/Impulso", 7, 1);
  xsConf(s, "Soglia Potenza Minima", nullptr, pmin, "kW", 7, 1);
  xsConf(s, "Valore Impianto", nullptr, pnom, "kW", 7, 1);
  xsConf(s, "Equivalenza CO2", nullptr, co2, "kgCO2/kWh", 7, 1);
  xsConf(s, "Prezzo Energia Prodotta", nullptr, prezzo, "euro/kWh", 7, 1);
  xsConfInt(s, "Connessioni fallite", nullptr, fail_conn, "", 3, 1);
  xsConfInt(s, "SetStatus fallite", nullptr, fail_setstatus, "", 3, 1);
  xsConfInt(s, "SetConf fallite", nullptr, fail_setconf, "", 3, 1);
  xsConfInt(s, "SetDataLog fallite", nullptr, fail_setdatalog, "", 3, 0);
  xsprintf(s, "]}}");
}

void build_setDataLog(xstring_p s, const sampleset_t* sset) {
  if (sset == nullptr) return;
  const int num = sample_count(*sset);
  if (num == 0) return;
  std::int32_t start = sset->el[0].time;
  std::int32_t stop = start;
  for (int i = 1; i < num; ++i) {
    if (sset->el[i].time < start) start = sset->el[i].time;
    if (sset->el[i].time > stop) stop = sset->el[i].time;
  }
  // Each counter reports under its own ids: its number replaces the leading
  // 1 of counter 1's ("100000", "1000000", "1000000002" ...).
  const int c = sset->cnt >= 0 && sset->cnt < MAX_COUNTERS ? sset->cnt + 1 : 1;

  build_head(s, "setDataLog", "");
  xsprintf(s,
           "\"nome\":\"%d00000\",\"id\":\"%d000000\",\"lblTab\":\"Produzione\","
           "\"periodoImp\":\"%d\",\"periodoR\":\"%d\"",
           c, c, DATALOG_PERIOD, DATALOG_PERIOD);
  xsprintf(s, ",\"start\":\"%d\",\"stop\":\"%d\",\"lbl\":[", start, stop);
  xsVarLab(s, "utc", "utc", "utc", "", "1", 1);
  xsVarLab(s, "stato", "stato", "stato", "", "2", 1);
  // The measurement columns, in the order of the row values of xsData.
  static constexpr struct {
    int id;
    const char* lbl;
    const char* type;
    const char* unit;
  } columns[] = {{2, "Potenza prodotta", "ana", "[kW]"},
                 {3, "Energia prodotta", "ana", "[kW/h]"},
                 {6, "Allarme PV", "dig", "[*]"},
                 {7, "Segnale PV", "ana", "[dBm]"},
                 {8, "Assenza PV", "dig", "[*]"}};
  for (std::size_t k = 0; k < std::size(columns); ++k) {
    char id[32];
    std::snprintf(id, sizeof id, "%d00000000%d", c, columns[k].id);
    xsVarLab(s, id, columns[k].lbl, columns[k].type, columns[k].unit, id,
             k + 1 < std::size(columns) ? 1 : 0);
  }
  xsprintf(s, "],\"dati\":[");
  xsData(s, sset);
  xsprintf(s, "]}}");
}

void build_setAlarms(xstring_p s, const sampleset_t* /*sset*/) {
  XSTRING(active, active_buf, 64);
  for (int j = 0; j < NUM_ALM; ++j) {
    if (alm_list[j].fchanged != 0 && alm_active(j)) {
      xsprintf(&active, "%s%u", active.length == 0 ? "" : ",",
               static_cast<unsigned>(alm_list[j].start));
    }
  }

  build_head(s, "setAlarms", "");
  xsprintf(s,
           "\"CAMPI\":[\"nomeAlr\",\"start\",\"stop\",\"statoAlr\",\"livelloAlr\"],"
           "\"DATI\": [");
  bool first = true;
  for (int j = 0; j < NUM_ALM; ++j) {
    const alarmrec_t& a = alm_list[j];
    if (a.fchanged == 0) continue;
    xsprintf(s, "%s[\"%s\",%u,%u,\"%s\",\"%s\"]", first ? "" : ",", json_text(a.desc).c_str(),
             static_cast<unsigned>(a.start), static_cast<unsigned>(a.stop),
             alm_active(j) ? "ALARM_ATTIVO" : "ENDED_ALARM", json_text(a.lev).c_str());
    first = false;
  }
  xsprintf(s, "],\"ACTIVE\":[%s]}}", active.s);
}

void hack_json(const char* src, char* dest) {
  // Starts set, so a leading bracket or brace leaves no separator.
  bool separated = true;
  char* out = dest;
  for (const char* p = src; *p != '\0'; ++p) {
    const char c = *p;
    switch (c) {
      case ' ':
      case '"':
        break;
      case ',':
      case '[':
      case ']':
      case '{':
      case '}':
        if (!separated) {
          *out++ = '&';
          separated = true;
        }
        break;
      case ':':
        *out++ = '=';
        break;
      default:
        *out++ = c;
        separated = false;
        break;
    }
  }
  *out = '\0';
}
