#include <optional>

#include "shell/ShellTestSupport.h"

namespace drovn::test {
namespace {

// Options opened from the menu of a running program, where 确定 saves to the registry file:
// Tab to a control, type there, and end with the key.
struct Options : Console {
  Options(int tabs, std::u32string text, Key end) {
    createService();
    screen.onCharacter = [this](char32_t) {
      seen.clear();
      for (int r = 0; r < 24; ++r) seen.push_back(screen.row(r, 79));
    };
    std::vector<Key> keys(static_cast<std::size_t>(tabs), Key{Kind::Tab});
    for (char32_t ch : text) keys.push_back({Kind::Character, ch});
    keys.push_back(end);
    screen.push(keys);
    command(shell::kCmdOptions);
  }
  std::optional<std::string> stored(const std::string& name) {
    std::unique_ptr<platform::RegistryKey> k;
    uint8_t data[1024];
    uint32_t type = 0, size = sizeof data;
    if (registry.createKey(config::kSettingsKey, platform::Registry::Access::Read, k) != 0 ||
        k->queryValue(name, type, data, size) != 0)
      return std::nullopt;
    return std::string(reinterpret_cast<const char*>(data), size);
  }
  Lines seen;
};

// Each control lands in its own setting as code-page bytes; what a field cannot take is refused
// or cut at a character boundary. Cancel (F2, its soft key) and Esc save nothing.
TEST(OptionsDialog, OkSavesEachSettingFromItsControl) {
  std::string zhong;  // 中 in the code page, 255 times
  while (zhong.size() < 510) zhong += "\xD6\xD0";
  const struct {
    int tabs;
    std::u32string typed;
    const char* name;
    std::optional<std::string> bytes;
    Key end{Kind::F1};
  } cases[] = {
      {0, U" ", "auth_enable1", "1"},
      {1, U"1", "auth_user1", "admin1"},
      {2, U"s3cret", "auth_pwd1", "s3cret"},
      {3, U" ", "auth_enable2", "1"},
      {4, U"张三", "auth_user2", "guest\xD5\xC5\xC8\xFD"},
      {5, U"pw", "auth_pwd2", "pw"},
      {6, U"数据", "auth_root1", "/\xCA\xFD\xBE\xDD"},
      {7, U"r2", "auth_root2", "/r2"},
      {8, U" ", "auth_Anonymous", std::string("0\0", 2)},  // stored with its NUL
      {9, U"pub", "auth_anonyRoot", "/pub"},
      {10, U" ", "opt_enableUtf8", "1"},
      {11, U" ", "use_manualip", "0"},
      {12, U".2", "bind_manualip", "127.0.0.1.2"},
      {13, U"1", "bind_manualport", "01"},
      {14, U" ", "opt_keepLightOn", "1"},
      {0, U"x", "auth_enable1", "0"},                              // a check box takes no text
      {1, U"\t\x7f\x1b", "auth_user1", "admin"},                   // nor an edit control characters
      {6, std::u32string(300, U'中'), "auth_root1", "/" + zhong},  // 511 bytes at most
      {0, U" ", "auth_enable1", std::nullopt, {Kind::F2}},
      {0, U" ", "auth_enable1", std::nullopt, {Kind::Escape}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Options o(c.tabs, c.typed, c.end);
    EXPECT_EQ(o.stored(c.name), c.bytes);
    EXPECT_EQ(o.settings.snapshot().auth_enable1, c.bytes == "1" && c.tabs == 0);
  }
}

TEST(OptionsDialog, ShowsTheSettingsWithThePasswordAsStars) {
  Options o(2, U"pw?", {Kind::Escape});
  const Lines shown{" Drovn选项",
                    "Drovn 2.2 版",
                    "",
                    "",
                    "[ ] 用户1 名称/密码/目录：",
                    "",
                    "[admin          ] [**       ]",
                    "[/                          ]",
                    "",
                    "",
                    "[ ] 用户2 名称/密码/目录：",
                    "[guest          ] [         ]",
                    "",
                    "[/                          ]",
                    "",
                    "[x] 匿名用户 目录：",
                    "",
                    "[/                          ]",
                    "",
                    "[ ] 启用UTF8编码",
                    "",
                    "[ ] 保持屏幕常亮",
                    "",
                    " 确定" + std::string(70, ' ') + "取消"};
  EXPECT_EQ(o.seen, shown);  // as the last character was typed, without the scroll bar
}

}  // namespace
}  // namespace drovn::test
