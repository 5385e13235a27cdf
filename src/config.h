// Application identity, runtime directories, file names and fixed timings.
#pragma once

#define APP_NAME "zantor"
#define APP_VERSION "030200"
#define APP_STRVER "3.2.0"

// Runtime tree, relative to the working directory.
inline constexpr const char* DIR_CONFIG = "./config";
inline constexpr const char* CONFIG_EXT = ".dat";
inline constexpr const char* FILE_NTPD_CONF = "ntpd.conf";

// The board's HTTP port; ZANTOR_HTTP_PORT replaces it on a PC.
inline constexpr int DIGI_PORT = 83;

// A clock reading at or below this instant (6 May 2012 13:58:45 UTC) is
// taken as never set.
inline constexpr long VALID_TIME_THRESHOLD = 1336312725L;

// Web pages served by the HTTP daemon, relative to the working directory.
inline constexpr const char* DIR_WWWROOT = "./wwwroot";
// Scratch directory of the board (ZANTOR_TMPDIR replaces it on a PC) and the
// name the last uploaded file is stored under there.
inline constexpr const char* DIR_TMP = "/tmp";
inline constexpr const char* FILE_TMP = "tmp.dat";

// Longest silence the HTTP daemon accepts from a client, per read or write,
// before it drops the connection: it serves one client at a time.
inline constexpr int HTTP_IO_TIMEOUT_MS = 5000;
