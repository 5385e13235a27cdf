// A runtime tree for the scheduler and the server exchange: config/, a
// scratch directory for the reply files, and stub scripts that record their
// arguments and exit with a chosen code.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/settings.h"
#include "temp_dir.h"
#include "util.h"

class StubTree {
 public:
  StubTree() {
    dir.write("config/.keep", "");
    dir.write("tmp/.keep", "");
    setenv("ZANTOR_TMPDIR", dir.file("tmp").c_str(), 1);
    for (const char* s : {"send.sh", "bin/kickntpd.sh", "bin/ftpupgrade.sh"}) stub(s);
    copy_str(cfg_sendscript, dir.file("send.sh"));
    copy_str(cfg_srvurl, "http://127.0.0.1:1/");
  }
  ~StubTree() { unsetenv("ZANTOR_TMPDIR"); }

  // Like the real transfer script: old replies go first; then
  // <script>.reply<flags> (or <script>.reply) becomes remote1.dat and
  // <script>.second remote2.dat. The exit code comes from <script>.rc.
  void stub(const std::string& name) {
    dir.write(name,
              "#!/bin/sh\n"
              "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$0.log\"; done\n"
              "echo -- >> \"$0.log\"\n"
              "t=$ZANTOR_TMPDIR; rm -f \"$t/remote1.dat\" \"$t/remote2.dat\"\n"
              "for f in \"$0.reply$2\" \"$0.reply\"; do\n"
              "  if [ -f \"$f\" ]; then cp \"$f\" \"$t/remote1.dat\"; break; fi\n"
              "done\n"
              "if [ -f \"$0.second\" ]; then cp \"$0.second\" \"$t/remote2.dat\"; fi\n"
              "exit $(cat \"$0.rc\" 2>/dev/null || echo 0)\n");
    chmod(dir.file(name).c_str(), 0755);
  }

  // The arguments of every call of a stub, in order.
  std::vector<std::vector<std::string>> calls(const std::string& name) const {
    std::vector<std::vector<std::string>> out(1);
    std::istringstream in(testsupport::read_file(dir.file(name + ".log")));
    for (std::string line; std::getline(in, line);) {
      if (line == "--") {
        out.emplace_back();
      } else {
        out.back().push_back(line);
      }
    }
    out.pop_back();
    return out;
  }

  testsupport::TempDir dir;
  testsupport::ScopedChdir cd{dir.path()};
};
