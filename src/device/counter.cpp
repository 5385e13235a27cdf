// Application-level requests to the radio devices: checkpoint, samples,
// reset, radio network, clock, energy total and configuration, plus the
// conversion of the minimum-power threshold.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "device/device.h"
#include "leapday.h"
#include "sercomm.h"
#include "util.h"

namespace {

// The counter sends 23-character samples (with the signal level) only in a
// reply of exactly this length, two of them; anything else is 21 each.
constexpr int WIDE_BATCH_LEN = 47;
constexpr int WIDE_SAMPLE = 23;
constexpr int NARROW_SAMPLE = 21;
constexpr int CFG_FIELD_LEN = 4;
// The last configuration field ends here; a shorter text is not one.
constexpr int CFG_MIN_LEN = OFF_PNOM + CFG_FIELD_LEN;

struct Reply {
  char buf[RADIO_REPLY_SIZE] = "";
  int len = -1;
};

// One request without data to the device's own address.
Reply request(device_t* dev, const char* cmd, const char* data = nullptr) {
  Reply r;
  const int datasize = data != nullptr ? static_cast<int>(std::strlen(data)) : 0;
  r.len = telvo_comm(dev, dev->addr, RADIO_SRC_ADDR, cmd, data, datasize, r.buf, RADIO_REPLY_SIZE);
  return r;
}

int cmd_result(const Reply& r) { return r.len < 0 ? ERR_CMDEXEC : ERR_NONE; }

// Truncation toward zero as a C cast would do it, but a result beyond the
// int range saturates instead of being undefined (a huge Wh-per-pulse
// against a threshold of 1 gets there).
int trunc_to_int(float v) {
  if (v >= 2147483648.0F) return INT_MAX;
  if (v < -2147483648.0F) return INT_MIN;
  return static_cast<int>(v);
}

// A = w * 3600 * 256 / P and back: the same formula both ways. The counter
// computes in single precision, so do we, step by step.
int pulse_power_convert(int whi, int divisor) {
  if (divisor == 0) return 0;
  const auto w = static_cast<float>(whi / FSCALE_WHI);
  const float r = w * 3600.0F * 256.0F / static_cast<float>(divisor);
  return trunc_to_int(r);
}

// Four uppercase hex digits of v's low 16 bits at off; the characters
// around them stay as they are.
void put_cfg_field(char* text, int off, int v) {
  char digits[CFG_FIELD_LEN + 1];
  std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(v) & 0xFFFFU);
  std::memcpy(text + off, digits, CFG_FIELD_LEN);
}

}  // namespace

int telvo_comm(device_t* dev, int dest, int src, const char* cmd, const char* data, int datasize,
               char* buf, int bufsize) {
  const int result = telvo_comm_wr(dest, src, cmd, data, datasize, buf, bufsize);
  on_comm_end(dev, result < 0 ? 1 : 0);
  return result;
}

int update_checkpoint(device_t* dev) {
  if (dev == nullptr) return ERR_SERCOMM;
  const Reply r = request(dev, "4MV");
  if (r.len <= 0) return ERR_SERCOMM;
  const int result = r.buf[0] == '0' ? ERR_NONE : ERR_CHECKPOINT;
  std::printf("Checkpoint counter %d update %s\n", dev->addr, result == ERR_NONE ? "OK" : "FAIL");
  return result;
}

int read_last_sample(device_t* dev, sample_t* sam) {
  if (sam == nullptr) return ERR_SERCOMM;
  *sam = sample_t{};
  if (dev == nullptr) return ERR_SERCOMM;
  const Reply r = request(dev, "4LS");
  if (r.len <= 0) return ERR_SERCOMM;
  strToSample(counter_index(dev), r.buf, sam);
  return ERR_NONE;
}

int read_samples(device_t* dev, sampleset_t* sset) {
  if (sset == nullptr) return ERR_SERCOMM;
  sset->num = 0;
  if (dev == nullptr) return ERR_SERCOMM;
  const Reply r = request(dev, "4RS");
  if (r.len <= 0) return ERR_SERCOMM;

  // The text ends at its first NUL, whatever the frame carried after it.
  const int len = static_cast<int>(strnlen(r.buf, static_cast<std::size_t>(r.len)));
  const int width = len == WIDE_BATCH_LEN ? WIDE_SAMPLE : NARROW_SAMPLE;
  // A count that is not a digit is no count: taking samples from such a
  // reply would send made-up values to the server.
  const char digit = r.buf[0];
  int n = digit >= '0' && digit <= '9' ? digit - '0' : 0;
  n = std::min(n, MAX_SAMPLE);

  const int cnt = counter_index(dev);
  int pos = 1;
  // Only whole samples: a cut one would carry a made-up time.
  for (int i = 0; i < n && pos + width <= len; ++i, pos += width) {
    char text[WIDE_SAMPLE + 1];
    std::memcpy(text, r.buf + pos, static_cast<std::size_t>(width));
    text[width] = '\0';
    sample_t& s = sset->el[i];
    strToSample(cnt, text, &s);
    patchTimestamp(cnt, &s);
    sset->num = i + 1;
    std::printf("Read sample %d %x %x %x %x %x\n", i, static_cast<unsigned>(s.time),
                static_cast<unsigned>(s.ptot), static_cast<unsigned>(s.etot),
                static_cast<unsigned>(s.dbm), static_cast<unsigned>(s.alm));
  }
  return ERR_NONE;
}

int telvo_reset(device_t* dev) {
  if (dev == nullptr) return ERR_CMDEXEC;
  std::printf("Resetting device %s\n", dev->devname);
  return cmd_result(request(dev, "4rs"));
}

int telvo_netop(device_t* dev, boolean_t fopen) {
  if (dev == nullptr) dev = gw1;
  if (dev == nullptr) return ERR_CMDEXEC;
  std::printf("%s radio network\n", fopen ? "Open" : "Close");
  return cmd_result(request(dev, fopen ? "4PJ" : "4CJ"));
}

int telvo_set_clock(device_t* dev, time_t utc) {
  if (dev == nullptr) return ERR_CMDEXEC;
  std::printf("Adjusting counter %d clock\n", dev->addr);
  char data[9];
  // The counter keeps 32-bit seconds.
  std::snprintf(data, sizeof data, "%08X", static_cast<unsigned>(static_cast<std::uint32_t>(utc)));
  return cmd_result(request(dev, "4CK", data));
}

int set_energy_counter(device_t* dev, int val) {
  if (dev == nullptr) return ERR_CMDEXEC;
  const int cnt = counter_index(dev);
  const int scaled = is_scaled(cnt);
  std::printf("Setting energy counter %d: %d (scaled:%d)\n", dev->addr, val, scaled);

  char data[11];
  const char* cmd = "4CR";
  if (val >= 0) {
    const int sent = scaled ? val / 10 : val;
    std::snprintf(data, sizeof data, "00%08X", static_cast<unsigned>(sent));
    cmd = "4CS";
  } else {
    copy_str(data, "00");
  }
  const int result = cmd_result(request(dev, cmd, data));
  // Show the value just set until the next poll reads it back.
  if (result == ERR_NONE && cnt >= 0) counter_list[cnt].pvars[CN1_ETOT]->value.i = val;
  return result;
}

int getPmin(const counter4_t* cnt) {
  if (cnt == nullptr) return 0;
  return pulse_power_convert(cnt->pvars[CN1_WHI]->value.i, cnt->pvars[CN1_PMIN]->value.i);
}

int calcAaaa(int whi, int pmin) { return pulse_power_convert(whi, pmin); }

int write_config(int cnt, int lof, int hif, int whi, int pnom, int pmin) {
  if (cnt < 0 || cnt >= MAX_COUNTERS) return ERR_BADPARAM;
  counter4_t& cn = counter_list[cnt];
  device_t* dev = cn.dev;
  devicevar_t* cfg = cn.pvars[CN1_CFG];
  if (is_scaled(cnt)) {
    whi /= 10;
    pnom /= 10;
    pmin /= 10;
  }

  const int result = telvo_poll(dev, cfg);
  if (result != ERR_NONE) return result;
  std::printf("CN%d write_config before: %s\n", cnt + 1, cfg->value.s);
  // Fields written into a text that does not reach them would be cut off
  // at its end, and the counter would get a broken record.
  if (std::strlen(cfg->value.s) < CFG_MIN_LEN) {
    std::printf("CN%d write_config: configuration too short, not written\n", cnt + 1);
    return ERR_CMDEXEC;
  }

  // Composed apart from the variable, so a lost write leaves it showing
  // what the counter last reported.
  char text[MAX_TINYVAL_STRLEN];
  copy_str(text, cfg->value.s);
  put_cfg_field(text, OFF_WHI, whi);
  put_cfg_field(text, OFF_LOF, lof);
  put_cfg_field(text, OFF_HIF, hif);
  put_cfg_field(text, OFF_PNOM, pnom);
  put_cfg_field(text, OFF_PMIN, pmin);
  std::printf("CN%d write_config after:  %s\n", cnt + 1, text);

  // Not checked: the read-back below shows what the counter holds.
  request(dev, "4ST", text);
  telvo_poll(dev, cfg);
  after_counter_read(&cn, cfg);
  return result;
}
