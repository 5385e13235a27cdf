// The HTTP daemon on its own thread, driven over loopback with plain
// sockets; replies are compared byte for byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tcpdaemon.h"
#include "temp_dir.h"
#include "tinycommand/tinycommand.h"

namespace {

const std::string kOk = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n";
const std::string kNotFound = "HTTP/1.1 404 Not Found\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
const std::string kPreflight =
    kOk +
    "Access-Control-Max-Age: 86400\r\nAccess-Control-Allow-Headers: Content-Type\r\n"
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\nContent-Type: text/plain\r\n"
    "Content-Length: 0\r\n\r\n";

std::string ok(const std::string& type, const std::string& body) {
  return kOk + "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}
std::string text(const std::string& body) { return ok("text/plain", body); }

// The last command executed; TSan does not see the socket as
// synchronisation, hence the lock.
std::mutex seen_mu;
tinycommand_t seen;

tinycommand_t last_command() {
  const std::lock_guard<std::mutex> lock(seen_mu);
  return seen;
}

void fake_execute(tinycommand_t* cmd) {
  cmd->flag = CMDFLAG_TEXT;
  cmd->err = cmd->cmd[0] != '\0' ? ERR_NONE : ERR_UNKCMD;
  const std::lock_guard<std::mutex> lock(seen_mu);
  seen = *cmd;
}

void fake_reply(tinycommand_t* cmd, char* buf, int size) {
  std::snprintf(buf, static_cast<size_t>(size), "err=%d&", cmd->err);
  if (std::strcmp(cmd->cmd, "firmware") == 0 && find_param(cmd, "html") != nullptr) {
    js_callback(cmd, buf);
    cmd->flag = CMDFLAG_HTML;
  } else if (std::strcmp(cmd->cmd, "history") == 0) {
    http_reply(nullptr, -1, MIME_CVS, 1, "storico.csv");
    http_writeline("A;B\r\n", 5);
    cmd->flag |= CMDFLAG_STREAMED;
  }
}

void send_all(int fd, const std::string& data) {
  for (size_t off = 0; off < data.size();) {
    const ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    ASSERT_GT(n, 0);
    off += static_cast<size_t>(n);
  }
}

// Reads until the server closes, or until `limit` bytes have come.
std::string recv_all(int fd, size_t limit = SIZE_MAX) {
  std::string out;
  char buf[4096];
  for (ssize_t n = 1; n > 0 && out.size() < limit; out.append(buf, n > 0 ? size_t(n) : 0))
    n = recv(fd, buf, std::min(sizeof(buf), limit - out.size()), 0);
  return out;
}

class HttpTest : public ::testing::Test {
 protected:
  explicit HttpTest(int timeout_ms = 1000) { tcpdaemon_io_timeout_ms = timeout_ms; }

  void SetUp() override {
    dir_.write("wwwroot/index.html", "<html>home</html>");
    dir_.write("config/pointid.dat", "SECRET");
    dir_.write("wwwroot_old/secret.txt", "SECRET");
    dir_.write("tmp/tmp.dat", "stale upload");
    setenv("ZANTOR_TMPDIR", dir_.file("tmp").c_str(), 1);
    setenv("ZANTOR_HTTP_PORT", "0", 1);  // any free port, read back below
    tcpdaemon_command_hook = {fake_execute, fake_reply};
    tcpdaemon_sigexit = 0;
    tcpdaemon_init();
    server_ = std::thread([this] { ended_ = tcpdaemon_run(nullptr) == nullptr; });
    while (list_s.load() < 0 && !ended_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    ASSERT_EQ(getsockname(list_s.load(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr_ = addr;
  }

  void TearDown() override {
    tcpdaemon_kill();
    if (server_.joinable()) server_.join();
  }

  int connect_client() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&addr_), sizeof(addr_)), 0);
    return fd;
  }

  // One request, sent whole and half-closed; the whole reply.
  std::string exchange(const std::string& request) const {
    const int fd = connect_client();
    send_all(fd, request);
    shutdown(fd, SHUT_WR);
    std::string reply = recv_all(fd);
    close(fd);
    return reply;
  }

  testsupport::TempDir dir_;
  testsupport::ScopedChdir chdir_{dir_.path()};
  std::thread server_;
  std::atomic<bool> ended_{false};
  sockaddr_in addr_{};
};

TEST_F(HttpTest, StaticFilesCarryTheTypeOfTheirPathAndTheirExactBytes) {
  std::string big;
  for (int i = 0; i < 10000; ++i) big.push_back(static_cast<char>(i * 7));  // NULs, > one chunk
  const struct {
    const char* page;
    const char* type;
    std::string body;
  } cases[] = {{"/app.json", "text/javascript", "{}"},
               {"/a.html.png", "image/png", big},
               {"/s/site.css", "text/css", "p{}"},
               {"/logo.gif", "image/gif", "GIF"},
               {"/notes.txt", "text/plain", "plain"}};
  for (const auto& c : cases) {
    dir_.write(std::string("wwwroot") + c.page, c.body);
    EXPECT_EQ(exchange(std::string("GET ") + c.page + " HTTP/1.1\r\nHost: x\r\n\r\n"),
              ok(c.type, c.body))
        << c.page;
  }
  EXPECT_EQ(exchange("GET / HTTP/1.1\r\n\r\n"), ok("text/html", "<html>home</html>"));
  EXPECT_EQ(exchange("POST /index.html?x=1 HTTP/1.0\r\n\r\n"),
            ok("text/html", "<html>home</html>"));
}

TEST_F(HttpTest, MissingEscapingOrOverlongPathsGetThe404) {
  // "./wwwroot/" and 245 characters just fit the path buffer, 246 do not.
  dir_.write("wwwroot/" + std::string(245, 'f'), "fits");
  dir_.write("wwwroot/" + std::string(246, 'g'), "too long");
  dir_.write("wwwroot/sub/page.html", "x");
  EXPECT_EQ(exchange("GET /" + std::string(245, 'f') + " HTTP/1.1\r\n\r\n"), text("fits"));
  const std::string pages[] = {"/missing.html",
                               "/../config/pointid.dat",
                               "/sub/../../config/pointid.dat",
                               "/..",
                               "//../config/pointid.dat",
                               "/./../config/pointid.dat",
                               "_old/secret.txt",
                               "/sub",
                               "/" + std::string(246, 'g'),
                               "/" + std::string(3000, 'h')};
  for (const auto& page : pages)
    EXPECT_EQ(exchange("GET " + page + " HTTP/1.1\r\n\r\n"), kNotFound) << page;
}

TEST_F(HttpTest, PreflightIsAnsweredAndTheConnectionServesTheRealRequest) {
  const int fd = connect_client();
  send_all(fd, "OPTIONS /comm4.php HTTP/1.1\r\nOrigin: http://x\r\nContent-Length: 50\r\n\r\n");
  EXPECT_EQ(recv_all(fd, kPreflight.size()), kPreflight);
  // The preflight's length must not make the server wait for a body here.
  send_all(fd, "GET /comm4.php?cmd=stat HTTP/1.1\r\n\r\n");
  EXPECT_EQ(recv_all(fd), text("err=0&"));
  close(fd);
  EXPECT_STREQ(last_command().cmd, "stat");
  // "OPTIONS" anywhere in the request line counts; a client that leaves
  // after the preflight gets nothing more.
  EXPECT_EQ(exchange("GET /OPTIONS.html HTTP/1.1\r\n\r\n"), kPreflight);
}

TEST_F(HttpTest, CommandTextComesFromTheBodyOrElseTheQuery) {
  const std::string filler = "f=" + std::string(4080, 'x') + "&cmd=0123456789";
  const struct {
    std::string request;
    const char* cmd;
  } cases[] = {
      {"GET /comm4.php?cmd=rdall HTTP/1.1\r\n\r\n", "rdall"},
      {"GET /cgi/comm4.php?cmd=getconf HTTP/1.1\r\n\r\n", "getconf"},
      {"POST /comm4.php?cmd=rdall HTTP/1.1\r\nContent-Length: 9\r\n\r\ncmd=stat&", "stat"},
      {"POST /comm4.php HTTP/1.1\r\nContent-Length: 5\r\n\r\ncmd=abcdefgh", "a"},
      {"POST /comm4.php HTTP/1.1\r\nCONTENT-LENGTH:12\r\n\r\ncmd=abcdefghijk", "abcdefgh"},
      // A header of exactly 15 characters is no length: the query is used.
      {"POST /comm4.php?cmd=q HTTP/1.1\r\nContent-Length:\r\n\r\ncmd=body", "q"},
      // Without the blank line there is no body either.
      {"POST /comm4.php?cmd=q HTTP/1.1\r\nContent-Length: 8\r\n", "q"},
      // 5000 bytes announced and sent, only the first 4093 are read.
      {"POST /comm4.php HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + filler +
           std::string(5000 - filler.size(), 'z'),
       "012345"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exchange(c.request), text("err=0&")) << c.request.substr(0, 60);
    EXPECT_STREQ(last_command().cmd, c.cmd) << c.request.substr(0, 60);
  }
  EXPECT_EQ(exchange("GET /comm4.php HTTP/1.1\r\n\r\n"), text("err=2&"));
  // A streamed reply is an attachment without length, and nothing follows it.
  EXPECT_EQ(exchange("GET /comm4.php?cmd=history HTTP/1.1\r\n\r\n"),
            kOk +
                "Content-Type: text/cvs\r\nContent-disposition: attachment; "
                "filename=storico.csv\r\n\r\nA;B\r\n");
}

std::string multipart(const std::string& b, const std::string& body) {
  return "POST /comm4.php HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + b +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string field(const std::string& b, const std::string& name, const std::string& value) {
  return "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
         "\r\n";
}
std::string file_part(const std::string& b, const std::string& data) {
  return "--" + b + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"fw.bin\"\r\n" +
         "Content-Type: application/octet-stream\r\n\r\n" + data + "\r\n";
}

TEST_F(HttpTest, FirmwareUploadStoresTheFileAndAnswersWithTheCallbackPage) {
  const std::string b = "----WebKitFormBoundary7MA4YWxk";
  // Data that looks like delimiters without being one.
  const std::string data =
      std::string("\0\r\n--", 5) + b.substr(0, 10) + "\r\n--" + b.substr(0, b.size() - 1) + "x";
  const std::string body = field(b, "cmd", "firmware") + file_part(b, data) +
                           field(b, "html", "1") + "--" + b + "--\r\n";
  EXPECT_EQ(exchange(multipart(b, body)),
            ok("text/html",
               "<html><body><script language=\"javascript\" type=\"text/javascript\">"
               "parent.cmdCallback('firmware',0);</script></body></html>"));
  EXPECT_EQ(dir_.read("tmp/tmp.dat"), data);
  const tinycommand_t c = last_command();
  ASSERT_EQ(c.numargs, 1);  // the file part is no parameter
  EXPECT_STREQ(c.args[0].name, "html");
  EXPECT_STREQ(c.args[0].s, "1");
}

TEST_F(HttpTest, MultipartEdgeCases) {
  const std::string b = "XyZ";
  const std::string cmd = field(b, "cmd", "putconf");
  const struct {
    std::string body;
    std::string upload;  // expected tmp.dat
    int numargs;
  } cases[] = {
      {cmd + file_part(b, "") + "--" + b + "--\r\n", "", 0},
      // Cut before the closing delimiter: the last boundlen + 4 bytes are
      // still in the look-behind window.
      {cmd + field(b, "v", "1") + file_part(b, "0123456789"), "01234", 1},
      // A field whose closing boundary never came is not pushed.
      {cmd + "--" + b + "\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\nvalue",
       "stale upload", 0},
      // Over-long name and value are cut, never overrun.
      {cmd + field(b, std::string(300, 'n'), std::string(5000, 'w')) + "--" + b + "--\r\n",
       "stale upload", 1},
  };
  for (const auto& c : cases) {
    dir_.write("tmp/tmp.dat", "stale upload");
    EXPECT_EQ(exchange(multipart(b, c.body)), text("err=0&")) << c.upload;
    EXPECT_EQ(dir_.read("tmp/tmp.dat"), c.upload);
    EXPECT_STREQ(last_command().cmd, "putconf") << c.upload;
    EXPECT_EQ(last_command().numargs, c.numargs) << c.upload;
  }
  EXPECT_EQ(std::string(last_command().args[0].s), std::string(255, 'w'));

  // A boundary too long for its buffer is refused: no command, no upload.
  const std::string lb(200, 'L');
  EXPECT_EQ(exchange(multipart(lb, field(lb, "cmd", "putconf") + file_part(lb, "d"))),
            text("err=2&"));
  EXPECT_EQ(dir_.read("tmp/tmp.dat"), "stale upload");
}

TEST_F(HttpTest, SilentClientTimesOutAndTheNextClientIsServed) {
  const int silent = connect_client();
  EXPECT_EQ(exchange("GET / HTTP/1.1\r\n\r\n"), ok("text/html", "<html>home</html>"));
  // No request line ever came: the connection is closed without a reply.
  EXPECT_EQ(recv_all(silent), "");
  close(silent);
}

class HttpKillTest : public HttpTest {
 protected:
  HttpKillTest() : HttpTest(600000) {}  // only the stop request can end the read
};

TEST_F(HttpKillTest, KillexCutsTheConnectionBeingServedAndEndsTheThread) {
  const int fd = connect_client();
  send_all(fd, "GET / HTTP/1.1\r\n");  // the server now waits for more header lines
  while (conn_s.load() < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  tcpdaemon_killex();
  server_.join();
  EXPECT_EQ(conn_s.load(), -1);
  EXPECT_EQ(list_s.load(), -1);
  EXPECT_EQ(recv_all(fd), "");
  close(fd);
}

}  // namespace
