// Settings store: one small text file per setting under ./config, loaded
// into the cfg_ globals at every cycle start and written back by commands.
#pragma once

#include <cstddef>

#include "core/settings.h"

inline constexpr const char* PARAM_POINTID = "pointid";

// Fills buf (at most bufsize - 1 characters) from the key's file; a missing
// file gives def, or "" when def is null.
void cfg_readStrParam(const char* name, char* buf, std::size_t bufsize, const char* def);
// Reads the key as a decimal integer: a missing file or a text starting with
// '?' gives def; leading blanks are skipped, conversion stops at the first
// non-digit, no digits give 0.
void cfg_readIntParam(const char* name, int* value, int def);
// Atomically replaces the key's file with buf.
void cfg_writeStrParam(const char* name, const char* buf);
void cfg_writeIntParam(const char* name, int value);
// Writes ./config/ntpd.conf from cfg_ntpsrv.
void cfg_writeNtpdConf();
// Fills host (at least 256 characters) with eth0's IPv4 address; 0 on
// success, 1 when the query failed.
int ipinfo(char* host);

void configman_init();
void configman_shutdown();

// Write operations of the command interface. Callers validate the values.
int write_config_sys(int maxdly, int acqtime, int inttime, int pnomxlmask, int prezzo, int co2,
                     int alrpwr);
int write_regist(int v);
int write_config_net(int dhcp, const char* ip, const char* mask, const char* gway,
                     const char* dns, const char* ntpsrv);
int write_config_sys_ex(const char* srvurl, const char* nimp, const char* indir,
                        const char* cmail);
int write_config_numcounters(int n);
