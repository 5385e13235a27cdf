// The local application's variables ("sys"): settings, time and identity.
// They cost no radio exchange, so the settings store refreshes them directly
// after every write.
#include <cstring>

#include "core/settings.h"
#include "device/device.h"
#include "sys/clock.h"
#include "util.h"

namespace {

// The serial number is the gateway MAC's first four bytes in reverse order.
void serial_number(char (&out)[MAX_TINYVAL_STRLEN]) {
  const devicevar_t* mac = varp[GW1_MAC];
  if (mac->status != ST_READY) {
    copy_str(out, "?");
    return;
  }
  // A MAC shorter than 8 characters leaves its missing digits empty rather
  // than picking up older text behind its terminator.
  char m[9] = {};
  copy_str(m, mac->value.s);
  char sn[9] = {};
  int n = 0;
  for (int g = 3; g >= 0; --g) {
    for (int k = 0; k < 2; ++k) {
      const char c = m[2 * g + k];
      if (c != '\0') sn[n++] = c;
    }
  }
  copy_str(out, sn);
}

}  // namespace

void sys_poll(device_t* dev, devicevar_t* var) {
  tinyvalue_t& v = var->value;
  switch (var->varid) {
    case SYS_PTID: copy_str(v.s, cfg_pointid); break;
    case SYS_TIME: v.i = static_cast<int>(sys::clock().now()); break;
    case SYS_SRVURL: copy_str(v.s, cfg_srvurl); break;
    case SYS_NTPSRV: copy_str(v.s, cfg_ntpsrv); break;
    case SYS_MAXDLY: v.i = cfg_maxdly; break;
    case SYS_ON: v.i = 1; break;
    case SYS_NUMCNT: v.i = cfg_numcounters; break;
    case SYS_ACQTIME: v.i = cfg_acqtime; break;
    case SYS_INTTIME: v.i = cfg_inttime; break;
    case SYS_NIMP: copy_str(v.s, cfg_nimp); break;
    case SYS_CMAIL: copy_str(v.s, cfg_cmail); break;
    case SYS_PREZZO: v.i = cfg_prezzo; break;
    case SYS_REGIST: v.i = cfg_regist; break;
    case SYS_SN: serial_number(v.s); break;
    case SYS_INDIR: copy_str(v.s, cfg_indir); break;
    case SYS_CO2: v.i = cfg_co2; break;
    case SYS_CURRIP: copy_str(v.s, cfg_currip); break;
    case SYS_DHCP: v.i = cfg_dhcp; break;
    case SYS_IP: copy_str(v.s, cfg_ip); break;
    case SYS_MASK: copy_str(v.s, cfg_mask); break;
    case SYS_GWAY: copy_str(v.s, cfg_gway); break;
    case SYS_DNS: copy_str(v.s, cfg_dns); break;
    case SYS_ALRPWR: v.i = cfg_alrpwr; break;
    default: break;  // version, remote state and the unused texts keep their value
  }
  var->status = ST_READY;
  dev->status = ST_READY;
}
