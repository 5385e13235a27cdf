// The persistent settings as process-wide globals. They are loaded and
// written by the settings store (configman); every other module reads them
// here, so low-level modules need not depend on the store itself.
#pragma once

inline constexpr int CFG_STR_LEN = 257;  // 255 characters, NUL, and one spare

extern char cfg_pointid[CFG_STR_LEN];
extern char cfg_srvurl[CFG_STR_LEN];
extern char cfg_serialcfg[CFG_STR_LEN];
extern char cfg_sendscript[CFG_STR_LEN];
extern int cfg_maxdly;
extern int cfg_acqtime;
extern int cfg_inttime;
extern int cfg_cntpanic;
extern int cfg_pnomxlmask;
extern int cfg_numcounters;
extern char cfg_nimp[CFG_STR_LEN];
extern char cfg_indir[CFG_STR_LEN];
extern char cfg_cmail[CFG_STR_LEN];
extern int cfg_prezzo;
extern int cfg_regist;
extern int cfg_co2;
extern int cfg_dhcp;
extern char cfg_ip[CFG_STR_LEN];
extern char cfg_mask[CFG_STR_LEN];
extern char cfg_gway[CFG_STR_LEN];
extern char cfg_dns[CFG_STR_LEN];
extern char cfg_ntpsrv[CFG_STR_LEN];
extern int cfg_alrpwr;
// Not a stored key: the current address of eth0, empty when unknown.
extern char cfg_currip[CFG_STR_LEN];
