// Device tables on a fresh start, the serial port on a pty, and a scripted
// radio gateway with its counters on the other side.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/hooks.h"
#include "core/runstate.h"
#include "core/settings.h"
#include "device/device.h"
#include "fake_clock.h"
#include "pty.h"
#include "scripted_radio.h"
#include "sercomm.h"
#include "util.h"

class DeviceRadioTest : public testing::Test {
 protected:
  void SetUp() override {
    f_exit = 0;
    f_reload = 0;
    cfg_numcounters = 1;
    cfg_pnomxlmask = 0;
    device_init();
    for (int n = 0; n < MAX_COUNTERS; ++n) {
      tm_alm_counter_first[n] = tm_alm_counter_offline[n] = 0;
      f_alm_counter_offline[n] = 0;
    }
    tm_alm_gateway_offline = 0;
    f_alm_gateway_offline = 0;
    // A short read timer: silence costs a tenth of a second.
    copy_str(cfg_serialcfg, pty_.slave_path() + ";19200,N,8,1;10/0/100/./.");
    testing::internal::CaptureStdout();
    ASSERT_EQ(sercomm_init(), 0);
    testing::internal::GetCapturedStdout();
  }
  void TearDown() override {
    sercomm_shutdown();
    hook_update_leds = nullptr;
  }

  counter4_t& cn(int n) { return counter_list[n]; }
  devicevar_t& var(int n, int id) { return *counter_list[n].pvars[id]; }

  testsupport::FakeClock clock_;
  testsupport::ScopedClock scoped_clock_{clock_};
  testsupport::PtyPair pty_;
  testsupport::ScriptedRadio radio_{
      pty_, [](const testsupport::RadioRequest&) { return testsupport::garbage(); }};
};
