// LIST and NLST over real data connections on a real store: every line byte for byte (the
// size column past 32 bits, the date column), files before directories, the forms the
// commands take, and refusals before any data connection.
#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include "ProtocolTestSupport.h"

namespace drovn::protocol::test {
namespace {

namespace fs = std::filesystem;

// The last write of an entry, as UTC fields.
void setLastWrite(const fs::path& p, int y, unsigned mo, unsigned d, int h, int mi) {
  using namespace std::chrono;
  const sys_seconds utc = sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi};
  fs::last_write_time(p, file_clock::from_sys(utc));
}

class ListingTest : public ProtocolTest, public testing::WithParamInterface<Mode> {};

// The device clock's year shows hour and minute, any other year the year, even last December.
TEST_P(ListingTest, LinesByteForByteFilesFirst) {
  harness.clock().setNow({2026, 6, 15, 10, 30, 0});
  const fs::path d = store() / "d";
  const std::map<std::string, std::string> lines = {
      {"b.txt", "-rw-rw-rw-   1 user     group          5 Mar  4  9:05 b.txt"},
      {"two", "-rw-rw-rw-   1 user     group 2147483648 Jan  1  0:00 two"},
      {"three", "-rw-rw-rw-   1 user     group 3221225472 Dec 31 23:59 three"},
      {"five", "-rw-rw-rw-   1 user     group 5368709120 Dec 31  2025 five"},
      {"0sub", "drw-rw-rw-   1 user     group          0 Jul 20  1999 0sub"},
      {"with space", "drw-rw-rw-   1 user     group          0 Jan  1  2027 with space"}};
  writeFile(d / "b.txt", "12345");
  writeFile(d / "0sub" / "inner.txt", "1234567");  // a directory with content shows size 0
  fs::create_directory(d / "with space");
  for (const auto& [name, size] : {std::pair{"two", 2ull << 30}, std::pair{"three", 3ull << 30},
                                   std::pair{"five", 5ull << 30}}) {
    writeFile(d / name, "");
    fs::resize_file(d / name, size);  // sparse
  }
  setLastWrite(d / "b.txt", 2026, 3, 4, 9, 5);
  setLastWrite(d / "two", 2026, 1, 1, 0, 0);
  setLastWrite(d / "three", 2026, 12, 31, 23, 59);
  setLastWrite(d / "five", 2025, 12, 31, 23, 59);
  setLastWrite(d / "0sub" / "inner.txt", 2026, 10, 10, 10, 10);
  setLastWrite(d / "0sub", 1999, 7, 20, 14, 0);
  setLastWrite(d / "with space", 2027, 1, 1, 0, 0);
  // The store's walk: non-directories first, then directories, each in the directory's order.
  std::string files, dirs, names, dirNames;
  for (const fs::directory_entry& e : fs::directory_iterator(d)) {
    const std::string name = e.path().filename().string();
    (e.is_directory() ? dirs : files) += lines.at(name) + "\r\n";
    (e.is_directory() ? dirNames : names) += name + "\r\n";
  }
  auto client = connectAndLogin();
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(ask(*client, "CWD d/0sub"), "250 Directory changed to /d/0sub\r\n");
  for (const auto& [command, listing] :
       {std::pair{"LIST ..", files + dirs}, std::pair{"LIST -al /d", files + dirs},
        std::pair{"NLST ..", names + dirNames}, std::pair{"NLST -l ../", files + dirs},
        std::pair{"NLST /d/with space", std::string()},
        std::pair{"LIST", std::string("-rw-rw-rw-   1 user     group          7 Oct 10 10:10 "
                                      "inner.txt\r\n")}}) {
    SCOPED_TRACE(command);
    std::string reply;
    EXPECT_EQ(download(*client, GetParam(), command, reply), listing);
    EXPECT_EQ(reply, kCompleted);
  }
  // Refused before any data connection: a file, a missing path, a second or reversed option.
  DataPeer peer(harness.network());
  ASSERT_EQ(ask(*client, "PORT " + peer.listen()), kPortOk);
  expectExchanges(*client, {{"LIST inner.txt", kAccessDenied}, {"LIST missing", kAccessDenied},
                            {"LIST -l -a", kAccessDenied}, {"NLST -la", kAccessDenied},
                            {"NLST two words", kAccessDenied}});
  EXPECT_FALSE(peer.accept(300ms));
}

INSTANTIATE_TEST_SUITE_P(BothModes, ListingTest, testing::Values(Mode::Active, Mode::Passive),
                         [](const testing::TestParamInfo<Mode>& i) { return modeName(i.param); });

}  // namespace
}  // namespace drovn::protocol::test
