#include <optional>

#include "shell/OptionsDialog.h"
#include "shell/ShellTestSupport.h"

namespace drovn::test {
namespace {

// The dialog as the main window opens it, saving to the registry at 确定: Tab to a control,
// type there, and end with the key.
struct Options : Console {
  Options(int tabs, std::u32string text, Key end) {
    shell::OptionsDialog dialog(
        settings, codec, [this](const config::Settings& s) { config::saveSettings(registry, s); });
    dialog.resize(24, 80);
    for (int i = 0; i < tabs; ++i) dialog.handleKey({Kind::Tab});
    for (char32_t ch : text) dialog.handleKey({Kind::Character, ch});
    dialog.draw(screen);
    dialog.handleKey(end);
  }
};

// Each control lands in its own setting as code-page bytes; what a field cannot take is refused
// or cut at a character boundary. Cancel (F2) and Esc save nothing.
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
      {11, U" ", "use_manualip", "1"},
      {12, U".2", "bind_manualip", "192.168.1.101.2"},
      {13, U"1", "bind_manualport", "211"},
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
    EXPECT_EQ(o.registry.stored(config::kSettingsKey, c.name).value_or("not saved"),
              c.bytes.value_or("not saved"));
    EXPECT_EQ(o.settings.snapshot().auth_enable1, c.bytes == "1" && c.tabs == 0);
  }
}

TEST(OptionsDialog, ShowsTheSettingsWithThePasswordAsStars) {
  Options o(2, U"pw", {Kind::Escape});
  // The rows that show text, top to bottom, but the scroll bar in the last column.
  // clang-format off
  const Lines shown{
      " Drovn选项", "Drovn 2.2 版", "[ ] 用户1 名称/密码/目录：", "[admin          ] [**       ]",
      "[/                          ]", "[ ] 用户2 名称/密码/目录：",
      "[guest          ] [         ]", "[/                          ]", "[x] 匿名用户 目录：",
      "[/                          ]", "[ ] 启用UTF8编码", "[ ] 保持屏幕常亮"};
  // clang-format on
  Lines seen;
  for (int r = 0; r < 23; ++r) {
    if (!o.screen.row(r, 79).empty()) seen.push_back(o.screen.row(r, 79));
  }
  EXPECT_EQ(seen, shown);
  EXPECT_EQ(o.screen.row(23), " 确定" + std::string(70, ' ') + "取消");
}

}  // namespace
}  // namespace drovn::test
