// Leap-day timestamp correction for counters of firmware 06.04, builds up
// to 28. Those counters run with a clock offset that steps by a day through
// the year after a leap year, so a sample stamped on the last day of a step
// can come back with a timestamp the server has already received. We keep
// the clock offset they need, and a per-counter file of "hot" timestamps
// already sent, so a repeated timestamp is moved one day forward.
// Every date here is taken in UTC.
#pragma once

#include <cstdint>
#include <ctime>

#include "common.h"
#include "device/device.h"

// Inclusive day range (months 1 to 12) and the clock offset in seconds that
// applies within it.
struct postLeapRange_t {
  int start_day;
  int start_month;
  int stop_day;
  int stop_month;
  int offset;
};

// The whole year after a leap year, one range per offset step.
extern const postLeapRange_t postLeapYearffsetArray[12];

// Per month (0 = January) of the year after a leap year: the one day whose
// samples may repeat a timestamp (the last day of a step), -1 for none.
extern const int arrayDaysPostLeap[12];

boolean_t isLeap(int year);

// Compares only tm_mon and tm_mday. A range running over the year's end is
// never matched.
boolean_t isInRangeOfDays(const struct tm* time_start, const struct tm* time_stop,
                          const struct tm* date);

// The clock offset (seconds) to apply when setting a counter's clock now.
int loadClockOffset(time_t current_utc);

// After sset was sent for counter index `counter` (0 to MAX_COUNTERS - 1):
// remember its sensitive timestamps, or forget them all once the
// sensitive years are over.
void saveHotSample(int counter, sampleset_t sset);

// Before a sample read from counter index `counter` is stored: a timestamp
// that was already sent moves one day forward.
void patchTimestamp(int counter, sample_t* sam);

// Building blocks of the above, declared for tests.
int getPostLeapOffset(const struct tm* date);
// 0 when recorded, -1 when the file could not be written.
int addTimeStampToFile(int counter, std::uint32_t time);
boolean_t sampleAlreadySent(int counter, std::uint32_t time);
void deleteTimestampFile(int counter);
