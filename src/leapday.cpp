#include "leapday.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <limits>

#include "config.h"
#include "sys/fd.h"

// Each step moves the clock back one more day.
const postLeapRange_t postLeapYearffsetArray[12] = {
    {1, 1, 31, 1, 0},        {1, 2, 1, 3, -86400},      {2, 3, 2, 4, -172800},
    {3, 4, 3, 5, -259200},   {4, 5, 4, 6, -345600},     {5, 6, 5, 7, -432000},
    {6, 7, 6, 8, -518400},   {7, 8, 7, 9, -604800},     {8, 9, 8, 10, -691200},
    {9, 10, 9, 11, -777600}, {10, 11, 10, 12, -864000}, {11, 12, 31, 12, -950400},
};

const int arrayDaysPostLeap[12] = {31, -1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

namespace {

constexpr int SECONDS_PER_DAY = 86400;
constexpr const char* kDataDir = "./data";

// A UTC calendar date. The year is kept apart from tm_year because the
// breakdown runs in 64 bits on every platform: time_t is 32-bit on the board,
// and "ten minutes from now" must not wrap there.
struct UtcDate {
  std::int64_t year;
  struct tm date;
};

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// Proleptic Gregorian breakdown, same result as gmtime where both work.
UtcDate utc_date(std::int64_t t) {
  const std::int64_t days = floor_div(t, SECONDS_PER_DAY);
  const std::int64_t secs = t - days * SECONDS_PER_DAY;

  const std::int64_t z = days + 719468;  // days since 1 March of year 0
  const std::int64_t era = floor_div(z, 146097);
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;  // 0 = March
  const std::int64_t mday = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t mon = mp < 10 ? mp + 2 : mp - 10;  // 0 = January

  UtcDate d{};
  d.year = yoe + era * 400 + (mon <= 1 ? 1 : 0);
  d.date.tm_mon = static_cast<int>(mon);
  d.date.tm_mday = static_cast<int>(mday);
  d.date.tm_hour = static_cast<int>(secs / 3600);
  d.date.tm_min = static_cast<int>(secs / 60 % 60);
  d.date.tm_sec = static_cast<int>(secs % 60);
  if (d.year - 1900 >= std::numeric_limits<int>::min() &&
      d.year - 1900 <= std::numeric_limits<int>::max())
    d.date.tm_year = static_cast<int>(d.year - 1900);
  return d;
}

bool leap64(std::int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

struct tm day_of_year(int mday, int mon0) {
  struct tm t {};
  t.tm_mday = mday;
  t.tm_mon = mon0;
  return t;
}

bool valid_counter(int counter) { return counter >= 0 && counter < MAX_COUNTERS; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Only firmware 06.04 up to build 28 (0x1C) runs with the shifted clock.
// Fields that cannot be read count as 0, so an empty version never matches.
bool firmware_affected(int counter) {
  if (!valid_counter(counter)) return false;
  const devicevar_t* ver = counter_list[counter].pvars[CN1_VER];
  if (ver == nullptr) return false;
  const char* s = ver->value.s;
  int field[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    const int hi = hex_digit(s[2 * i]);
    if (hi < 0) break;
    const int lo = hex_digit(s[2 * i + 1]);
    if (lo < 0) break;
    field[i] = hi * 16 + lo;
  }
  return field[0] == 6 && field[1] == 4 && field[2] <= 0x1C;
}

enum class YearKind { Leap, AfterLeap, LateAfterLeap, Other };

YearKind year_kind(std::int64_t year) {
  if (leap64(year)) return YearKind::Leap;
  if (leap64(year - 1)) return YearKind::AfterLeap;
  if (leap64(year - 2) || leap64(year - 3)) return YearKind::LateAfterLeap;
  return YearKind::Other;
}

// The last day of an offset step: the one day whose samples may come back
// from the counter with a timestamp already sent.
bool is_sensitive_day(const UtcDate& d) {
  switch (year_kind(d.year)) {
    case YearKind::Leap:
      return d.date.tm_mon == 11 && d.date.tm_mday == 30;
    case YearKind::AfterLeap: {
      const int day = arrayDaysPostLeap[d.date.tm_mon];
      return day != -1 && day == d.date.tm_mday;
    }
    default:
      return false;
  }
}

struct HotPath {
  char s[48];
};

HotPath hot_path(int counter) {
  HotPath p{};
  std::snprintf(p.s, sizeof p.s, "./data/hotTimestamp%d.dat", counter);
  return p;
}

// One recorded line: decimal digits, optionally followed by white space.
// Anything else (a line cut by a power loss, an edit) never matches.
bool parse_line(const char* line, std::uint32_t* out) {
  std::uint64_t v = 0;
  const char* p = line;
  if (*p < '0' || *p > '9') return false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + static_cast<std::uint64_t>(*p - '0');
    if (v > std::numeric_limits<std::uint32_t>::max()) return false;
  }
  for (; *p != '\0'; ++p)
    if (*p != '\n' && *p != '\r' && *p != ' ' && *p != '\t') return false;
  *out = static_cast<std::uint32_t>(v);
  return true;
}

bool write_all(int fd, const char* buf, size_t len) {
  while (len > 0) {
    const ssize_t w = sys::retry_eintr([&] { return ::write(fd, buf, len); });
    if (w <= 0) return false;
    buf += w;
    len -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

boolean_t isLeap(int year) { return leap64(year) ? 1 : 0; }

boolean_t isInRangeOfDays(const struct tm* time_start, const struct tm* time_stop,
                          const struct tm* date) {
  const int m = date->tm_mon;
  const int d = date->tm_mday;
  if (time_start->tm_mon < time_stop->tm_mon) {
    return (m > time_start->tm_mon && m < time_stop->tm_mon) ||
                   (m == time_start->tm_mon && d >= time_start->tm_mday) ||
                   (m == time_stop->tm_mon && d <= time_stop->tm_mday)
               ? 1
               : 0;
  }
  if (time_start->tm_mon == time_stop->tm_mon) {
    return m == time_start->tm_mon && d >= time_start->tm_mday && d <= time_stop->tm_mday ? 1 : 0;
  }
  return 0;
}

int getPostLeapOffset(const struct tm* date) {
  for (const postLeapRange_t& r : postLeapYearffsetArray) {
    const struct tm start = day_of_year(r.start_day, r.start_month - 1);
    const struct tm stop = day_of_year(r.stop_day, r.stop_month - 1);
    if (isInRangeOfDays(&start, &stop, date)) return r.offset;
  }
  return 0;
}

int loadClockOffset(time_t current_utc) {
  // Looking ten minutes ahead, so a clock set just before midnight already
  // carries the next day's offset.
  const std::int64_t now = current_utc;
  if (now > std::numeric_limits<std::int64_t>::max() - 600) return 0;
  const UtcDate d = utc_date(now + 600);

  if (leap64(d.year)) {
    const struct tm start = day_of_year(1, 2);
    const struct tm stop = day_of_year(30, 11);
    return isInRangeOfDays(&start, &stop, &d.date) ? SECONDS_PER_DAY : 0;
  }
  if (leap64(d.year - 1)) return getPostLeapOffset(&d.date);
  return 0;
}

boolean_t sampleAlreadySent(int counter, std::uint32_t time) {
  if (!valid_counter(counter)) return 0;
  const HotPath path = hot_path(counter);
  sys::unique_file f(std::fopen(path.s, "re"));
  // A missing file means nothing was sent yet.
  if (!f) std::printf("%s(): file %s non trovato\n", "sampleAlreadySent", path.s);

  bool found = false;
  char line[32];
  bool continued = false;  // this read is the tail of an overlong line
  while (f && !found && std::fgets(line, sizeof line, f.get()) != nullptr) {
    const size_t len = std::strlen(line);
    const bool complete = len > 0 && line[len - 1] == '\n';
    // A line longer than one read is not ours; none of its pieces counts.
    const bool overlong = continued || (!complete && len == sizeof line - 1);
    continued = !complete;
    std::uint32_t v = 0;
    if (!overlong && parse_line(line, &v) && v == time) found = true;
  }

  std::printf(
      found ? "%s(): timastamp %u trovato nel file\n" : "%s(): timastamp %u NON trovato nel file\n",
      "sampleAlreadySent", static_cast<unsigned>(time));
  return found ? 1 : 0;
}

int addTimeStampToFile(int counter, std::uint32_t time) {
  if (!valid_counter(counter)) return -1;
  struct stat st {};
  if (::stat(kDataDir, &st) != 0) {
    std::printf("%s(): directory ./data mancante, creazione in corso..\n", "addTimeStampToFile");
    ::mkdir(kDataDir, 0775);
  }

  const HotPath path = hot_path(counter);
  sys::unique_fd fd(sys::retry_eintr(
      [&] { return ::open(path.s, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666); }));
  if (!fd) {
    std::printf("%s(): problemi nell'aprire il file %s\n", "addTimeStampToFile", path.s);
    return -1;
  }

  std::printf("%s(): salvataggio del dato sensibile %u nel file %s del contatore %u\n",
              "addTimeStampToFile", static_cast<unsigned>(time), path.s,
              static_cast<unsigned>(counter));

  // A power cut can leave the last line without its line end; start on a
  // fresh line so that line and this one both stay readable.
  char buf[16];
  int len = 0;
  struct stat fst {};
  char last = '\n';
  if (::fstat(fd.get(), &fst) == 0 && fst.st_size > 0 &&
      sys::retry_eintr([&] { return ::pread(fd.get(), &last, 1, fst.st_size - 1); }) == 1 &&
      last != '\n')
    buf[len++] = '\n';
  len += std::snprintf(buf + len, sizeof buf - static_cast<size_t>(len), "%u\n",
                       static_cast<unsigned>(time));

  // The record is what keeps a repeated timestamp from reaching the server
  // twice, so it must survive a power cut right after the send.
  if (!write_all(fd.get(), buf, static_cast<size_t>(len)) || ::fsync(fd.get()) != 0) return -1;
  return 0;
}

void deleteTimestampFile(int counter) {
  if (!valid_counter(counter)) return;
  const HotPath path = hot_path(counter);
  struct stat st {};
  if (::stat(path.s, &st) != 0) return;
  std::printf("%s(): cancellazione del file %s in corso\n", "deleteTimestampFile", path.s);
  ::unlink(path.s);
}

void saveHotSample(int counter, sampleset_t sset) {
  if (!firmware_affected(counter)) return;
  const int num = sset.num < 0 ? 0 : (sset.num > MAX_SAMPLE ? MAX_SAMPLE : sset.num);
  for (int i = 0; i < num; ++i) {
    const std::int32_t t = sset.el[i].time;
    // A counter whose clock was never set stamps samples near 1970, which
    // would read as "years after a leap year" and wipe the records of the
    // current sensitive period.
    if (t <= VALID_TIME_THRESHOLD) continue;
    const UtcDate d = utc_date(t);
    if (is_sensitive_day(d)) {
      std::printf("%s(): dato sensibile %u\n", "saveHotSample",
                  static_cast<unsigned>(static_cast<std::uint32_t>(t)));
      if (!sampleAlreadySent(counter, static_cast<std::uint32_t>(t)))
        addTimeStampToFile(counter, static_cast<std::uint32_t>(t));
    } else if (year_kind(d.year) == YearKind::LateAfterLeap) {
      std::printf("%s(): anno non sensibile %u\n", "saveHotSample", static_cast<unsigned>(d.year));
      deleteTimestampFile(counter);
    }
  }
}

void patchTimestamp(int counter, sample_t* sam) {
  if (sam == nullptr || !firmware_affected(counter)) return;
  if (!is_sensitive_day(utc_date(sam->time))) return;
  const auto old_time = static_cast<std::uint32_t>(sam->time);
  if (!sampleAlreadySent(counter, old_time)) return;
  std::printf(
      "%s(): il dato con timestamp %u e' gia' stato trasmesso -> aggiunta di un giorno al "
      "timestamp\n",
      "patchTimestamp", static_cast<unsigned>(old_time));
  const std::uint32_t new_time = old_time + SECONDS_PER_DAY;
  sam->time = static_cast<std::int32_t>(new_time);
  std::printf("%s(): nuovo timestamp trasmesso %u\n", "patchTimestamp",
              static_cast<unsigned>(new_time));
}
