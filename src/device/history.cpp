// The history export: walks the samples a counter keeps in its own store,
// one "4SM" exchange per sample, and streams them to the HTTP client as a
// semicolon-separated file with Italian dates and a decimal comma.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/hooks.h"
#include "core/settings.h"
#include "device/device.h"

namespace {

constexpr std::int64_t SECS_PER_DAY = 86400;
// The HTTP daemon's content type for this file (its MIME_CVS).
constexpr int MIME_CSV_FILE = 5;
constexpr const char* FILE_NAME = "storico.csv";
constexpr char HEADER[] = "CONTATORE;DATA (UTC);ORA (UTC);PTOT;ETOT;DBM;ALM\r\n";
// The counter answers with all F when nothing is stored at or after a time.
constexpr std::int32_t END_OF_STORE = -1;

// False when the client is gone: nothing more is worth reading.
bool send_line(const char* text, std::size_t len) {
  return call_http_writeline(text, len) == static_cast<ssize_t>(len);
}

// The 8 hex digits a counter takes as a time; it keeps 32-bit seconds.
unsigned hex_time(std::int64_t t) { return static_cast<std::uint32_t>(t); }

enum class RowResult { Sent, ClientGone, BadTime };

RowResult send_row(int cnt, const sample_t& sam) {
  const time_t when = sam.time;
  struct tm tm_utc {};
  if (gmtime_r(&when, &tm_utc) == nullptr) return RowResult::BadTime;
  char date[16];
  char clock[16];
  std::strftime(date, sizeof date, "%d/%m/%Y", &tm_utc);
  std::strftime(clock, sizeof clock, "%H:%M:%S", &tm_utc);

  // The widest row (every field at its int32 extreme) is under 80 characters.
  char line[128];
  const int n = std::snprintf(line, sizeof line, "%d;%s;%s;%0.2f;%0.2f;%d;%d\r\n", cnt + 1, date,
                              clock, sam.ptot / FSCALE_KW, sam.etot / FSCALE_KW, sam.dbm, sam.alm);
  const auto len = static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(sizeof line) - 1));
  // Dates and times carry no dots, so this touches only the decimals.
  std::replace(line, line + len, '.', ',');
  return send_line(line, len) ? RowResult::Sent : RowResult::ClientGone;
}

}  // namespace

int get_history(time_t dd1, time_t dd2, int selcnt) {
  call_http_reply(nullptr, -1, MIME_CSV_FILE, 1, FILE_NAME);
  if (!send_line(HEADER, sizeof HEADER - 1)) return ERR_NONE;

  int rows = 0;
  // 64 bits: the end of the last day of a 32-bit time can lie past 2038.
  const std::int64_t range_end = static_cast<std::int64_t>(dd2) + SECS_PER_DAY;
  const int numcounters = std::clamp(cfg_numcounters, 0, MAX_COUNTERS);

  for (int i = 0; i < numcounters; ++i) {
    if (selcnt != CNT_ALL && selcnt != i) continue;
    device_t* dev = counter_list[i].dev;
    if (dev == nullptr) continue;

    std::int64_t t = dd1;
    for (;;) {
      sample_t sam{};
      char data[9];
      std::snprintf(data, sizeof data, "%08X", hex_time(t));
      if (rows == 0) std::printf("First timestamp %08X\n", hex_time(t));

      char reply[RADIO_REPLY_SIZE] = "";
      const int got = telvo_comm(dev, dev->addr, RADIO_SRC_ADDR, "4SM", data, 8, reply, RADIO_REPLY_SIZE);
      if (got < 1) return ERR_SERCOMM;
      strToSample(i, reply, &sam);
      const std::int64_t r = sam.time;
      if (r == END_OF_STORE || r >= range_end) break;

      // A counter answers with the first sample at or after the time asked
      // for; one that answers with an earlier time would have us ask for
      // the same times forever. Stop its walk before repeating any row.
      const std::int64_t next = (r != 0 ? r : t) + cfg_acqtime;
      if (next <= t) {
        std::printf("History of counter %d stops: reply %08X does not advance from %08X\n", i + 1,
                    hex_time(r), hex_time(t));
        break;
      }

      ++rows;
      if (r != 0) {
        const RowResult sent = send_row(i, sam);
        if (sent != RowResult::Sent) return ERR_NONE;
      }
      t = next;
      std::printf("New timestamp: %08X (added %d secs)\n", hex_time(t), cfg_acqtime);
      // A time-0 reply never reaches the range end by itself: a counter
      // answering only those would be asked forever. Past the end no
      // sample can belong to the range, so there is nothing left to ask.
      if (r == 0 && t >= range_end) break;
    }
  }
  return ERR_NONE;
}
