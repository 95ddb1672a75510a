#include <stdio.h>
#include <sys/wait.h>

#include "shell/ShellTestSupport.h"

namespace drovn::test {
namespace {

// What the operator sees of a command line: the real program's exit status and standard error.
// The options before a bad one are taken, each in both its forms.
TEST(CommandLine, TheProgramRefusesWithAMessage) {
  const std::filesystem::path binary = DROVN_PROGRAM;  // the build makes it before this test
  const std::string hint = "\nTry 'drovn --help' for more information.\n";
  std::string tooLong = "auth_pwd1=";  // 256 characters of two code-page bytes each
  while (tooLong.size() < 10 + 256 * 3) tooLong += "中";
  const struct {
    Lines args;
    int status;
    std::string error;
  } cases[] = {
      {{"--version"}, 0, ""},
      {{"--headless", "--help", "--bogus"}, 0, ""},
      {{"--port", "21", "--set=auth_pwd1=a=b", "--bogus"}, 2, "unknown option '--bogus'" + hint},
      {{"--set", "auth_user1"}, 2, "--set takes NAME=VALUE, not 'auth_user1'" + hint},
      {{"--set=AUTH_USER1=x"}, 2, "unknown setting 'AUTH_USER1'" + hint},
      {{"--set", "auth_enable1=01"}, 2, "setting 'auth_enable1' takes 1 or 0, not '01'" + hint},
      {{"--port", "65536"}, 2, "--port takes a number from 0 to 65535, not '65536'" + hint},
      {{"--set", tooLong},
       2,
       "the value of setting 'auth_pwd1' is longer than 511 bytes in the code page" + hint},
      {{"--registry=/r", "--store", "/no/such"}, 2, "store directory '/no/such' does not exist\n"},
      {{"--store=/etc/passwd"}, 2, "store '/etc/passwd' is not a directory\n"},
      // Settings the service cannot start with: a headless run does not serve at all.
      {{"--registry=/no/such.reg", "--port=0", "--set=pasv_portRange=9-1"},
       2,
       "setting 'pasv_portRange' is '9-1': expected LOW-HIGH with 1 <= LOW <= HIGH <= 65535, or "
       "empty\n"},
      {{"--registry=/no/such.reg", "--port=0", "--headless", "--set=bind_listenIp=1.2.3"},
       2,
       "setting 'bind_listenIp' is '1.2.3': expected an IPv4 address such as 192.168.1.10, or "
       "empty\n"},
      {{"--registry=/no/such.reg", "--port=0", "--headless", "--set=tls_require=1"},
       2,
       "TLS: tls_require=1 needs tls_enable=1\n"},
      {{"--registry=/no/such.reg", "--port=0", "--headless", "--set=tls_enable=1",
        "--set=tls_certFile=/no/cert.pem", "--set=tls_keyFile=/no/key.pem"},
       2,
       "TLS: /no/cert.pem: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::string command = "timeout 20 " + binary.string();  // 124 for a run that serves
    for (const std::string& arg : c.args) command += " '" + arg + "'";
    FILE* err = popen((command + " 2>&1 >/dev/null").c_str(), "r");
    ASSERT_NE(err, nullptr);
    std::string error;
    char buffer[256];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, err)) > 0;) error.append(buffer, n);
    EXPECT_EQ(WEXITSTATUS(pclose(err)), c.status);
    EXPECT_EQ(error, c.error.empty() ? "" : "drovn: " + c.error);
  }
}

}  // namespace
}  // namespace drovn::test
