#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/Settings.h"
#include "platform/LinuxRegistry.h"
#include "platform/TextCodec.h"
#include "platform/Utf8.h"
#include "shell/DialogView.h"
#include "shell/FakeCanvas.h"
#include "shell/OptionsDialog.h"
#include "shell/ShellTestSupport.h"

namespace drovn::shell {
namespace {

using platform::KeyEvent;
using Kind = platform::KeyEvent::Kind;

KeyEvent key(Kind kind) {
  KeyEvent k;
  k.kind = kind;
  return k;
}
KeyEvent typed(char32_t c) {
  KeyEvent k;
  k.kind = Kind::Character;
  k.ch = c;
  return k;
}
KeyEvent clickAt(int row, int column) {
  KeyEvent k;
  k.kind = Kind::Click;
  k.row = row;
  k.column = column;
  return k;
}

// The fifteen stored values, by name, as the file holds them.
const std::vector<std::string> kValueNames{
    "auth_Anonymous", "auth_anonyRoot", "auth_enable1",    "auth_user1",      "auth_pwd1",
    "auth_root1",     "auth_enable2",   "auth_user2",      "auth_pwd2",       "auth_root2",
    "use_manualip",   "bind_manualip",  "bind_manualport", "opt_keepLightOn", "opt_enableUtf8"};

bool sameSettings(const config::Settings& a, const config::Settings& b) {
  return a.auth_Anonymous == b.auth_Anonymous && a.auth_anonyRoot == b.auth_anonyRoot.view() &&
         a.auth_enable1 == b.auth_enable1 && a.auth_user1 == b.auth_user1.view() &&
         a.auth_pwd1 == b.auth_pwd1.view() && a.auth_root1 == b.auth_root1.view() &&
         a.auth_enable2 == b.auth_enable2 && a.auth_user2 == b.auth_user2.view() &&
         a.auth_pwd2 == b.auth_pwd2.view() && a.auth_root2 == b.auth_root2.view() &&
         a.use_manualip == b.use_manualip && a.bind_manualip == b.bind_manualip.view() &&
         a.bind_manualport == b.bind_manualport.view() && a.opt_keepLightOn == b.opt_keepLightOn &&
         a.opt_enableUtf8 == b.opt_enableUtf8;
}

class OptionsDialogTest : public testing::Test {
 protected:
  OptionsDialogTest() : registry_((dir_.path() / "registry.reg").string(), codec) {
    config::Settings s;
    config::setDefaultSettings(s);
    store.replace(s);
  }

  // The dialog as the main window runs it while the service exists: OK saves to the file.
  std::unique_ptr<OptionsDialog> open(int rows = 24, int columns = 80) {
    auto dialog = std::make_unique<OptionsDialog>(store, codec, [this](const config::Settings& s) {
      ++saves;
      savedWhileStoreHeld = sameSettings(s, store.snapshot());
      config::saveSettings(registry_, s);
    });
    dialog->resize(rows, columns);
    return dialog;
  }

  std::string codePage(const std::string& utf8) {
    const std::u16string wide = platform::utf8ToUtf16(utf8);
    std::vector<char> out(wide.size() * 2 + 1);
    codec.wideToCodePage(out.data(), out.size(), wide.c_str());
    return std::string(out.data());
  }

  void setStored(const std::string& name, const std::string& bytes) {
    std::unique_ptr<platform::RegistryKey> k;
    ASSERT_EQ(registry_.createKey(config::kSettingsKey, platform::Registry::Access::Write, k), 0u);
    ASSERT_EQ(k->setValue(name, platform::kRegSz, reinterpret_cast<const uint8_t*>(bytes.data()),
                          static_cast<uint32_t>(bytes.size())),
              0u);
  }

  std::optional<std::string> stored(const std::string& name) {
    std::unique_ptr<platform::RegistryKey> k;
    if (registry_.createKey(config::kSettingsKey, platform::Registry::Access::Read, k) != 0)
      return std::nullopt;
    uint8_t data[2048];
    uint32_t type = 0;
    uint32_t size = sizeof data;
    if (k->queryValue(name, type, data, size) != 0 || type != platform::kRegSz) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(data), size);
  }

  std::string fileBytes() const {
    std::ifstream in(registry_.path(), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

  void focusOn(OptionsDialog& dialog, int id) {
    for (int i = 0; i < 16 && dialog.focusedId() != id; ++i) dialog.handleKey(key(Kind::Tab));
    ASSERT_EQ(dialog.focusedId(), id);
  }

  void type(OptionsDialog& dialog, const std::u16string& text) {
    for (char16_t u : text) ASSERT_TRUE(dialog.handleKey(typed(u)));
  }

  void changeSettings(void (*change)(config::Settings&)) {
    config::Settings s = store.snapshot();
    change(s);
    store.replace(s);
  }

  test::TempDir dir_;
  platform::LinuxTextCodec codec;
  platform::LinuxRegistry registry_;
  config::SettingsStore store;
  int saves = 0;
  bool savedWhileStoreHeld = false;
};

// ---- OK, Cancel, close -----------------------------------------------------------------------

class OptionsOk : public OptionsDialogTest, public testing::WithParamInterface<KeyEvent> {};

TEST_P(OptionsOk, NoChangeStillRewritesAllFifteenValues) {
  // The file holds one value of its own; the others are defaults.
  setStored("auth_user1", "bob");
  config::Settings loaded;
  config::loadSettings(registry_, loaded);
  store.replace(loaded);

  auto dialog = open();
  EXPECT_FALSE(dialog->handleKey(GetParam()));
  EXPECT_EQ(dialog->outcome(), OptionsDialog::Outcome::Ok);
  EXPECT_EQ(saves, 1);
  EXPECT_TRUE(savedWhileStoreHeld);
  EXPECT_TRUE(sameSettings(store.snapshot(), loaded));

  const std::vector<std::pair<std::string, std::string>> expected{
      {"auth_Anonymous", std::string("1\0", 2)},
      {"auth_anonyRoot", "/"},
      {"auth_enable1", "0"},
      {"auth_user1", "bob"},
      {"auth_pwd1", ""},
      {"auth_root1", "/"},
      {"auth_enable2", "0"},
      {"auth_user2", "guest"},
      {"auth_pwd2", ""},
      {"auth_root2", "/"},
      {"use_manualip", "0"},
      {"bind_manualip", "192.168.1.101"},
      {"bind_manualport", "21"},
      {"opt_keepLightOn", "0"},
      {"opt_enableUtf8", "0"}};
  ASSERT_EQ(expected.size(), config::kSettingCount);
  for (const auto& [name, bytes] : expected) {
    EXPECT_EQ(stored(name), std::optional<std::string>(bytes)) << name;
  }
  // A key after the end changes nothing.
  EXPECT_FALSE(dialog->handleKey(key(Kind::F1)));
  EXPECT_EQ(saves, 1);
}

INSTANTIATE_TEST_SUITE_P(Keys, OptionsOk,
                         testing::Values(key(Kind::F1), key(Kind::Enter),
                                         clickAt(23, 2)));  // the 确定 soft key

struct CancelCase {
  KeyEvent key;
  OptionsDialog::Outcome outcome;
};

class OptionsCancel : public OptionsDialogTest, public testing::WithParamInterface<CancelCase> {};

TEST_P(OptionsCancel, LeavesSettingsAndFileUntouched) {
  setStored("auth_user1", "bob");
  config::Settings loaded;
  config::loadSettings(registry_, loaded);
  store.replace(loaded);
  const std::string before = fileBytes();
  ASSERT_FALSE(before.empty());

  auto dialog = open();
  ASSERT_TRUE(dialog->handleKey(typed(U' ')));  // tick user 1
  focusOn(*dialog, kIdUser1);
  type(*dialog, u"zzz");
  focusOn(*dialog, kIdEnableUtf8);
  ASSERT_TRUE(dialog->handleKey(typed(U' ')));

  EXPECT_FALSE(dialog->handleKey(GetParam().key));
  EXPECT_EQ(dialog->outcome(), GetParam().outcome);
  EXPECT_EQ(saves, 0);
  EXPECT_TRUE(sameSettings(store.snapshot(), loaded));
  EXPECT_EQ(fileBytes(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, OptionsCancel,
    testing::Values(CancelCase{key(Kind::F2), OptionsDialog::Outcome::Cancelled},
                    CancelCase{key(Kind::Escape), OptionsDialog::Outcome::Closed},
                    CancelCase{clickAt(23, 77), OptionsDialog::Outcome::Cancelled}));

TEST_F(OptionsDialogTest, OkWithoutAServiceKeepsTheEditsForTheProcessOnly) {
  OptionsDialog dialog(store, codec, nullptr);
  dialog.resize(24, 80);
  ASSERT_TRUE(dialog.handleKey(typed(U' ')));
  EXPECT_FALSE(dialog.handleKey(key(Kind::F1)));
  EXPECT_TRUE(store.snapshot().auth_enable1);
  EXPECT_FALSE(std::filesystem::exists(registry_.path()));
}

TEST_F(OptionsDialogTest, UntickingUserOneKeepsItsNamePasswordAndDirectory) {
  changeSettings([](config::Settings& s) {
    s.auth_enable1 = true;
    s.auth_user1.assign("alice");
    s.auth_pwd1.assign("pw");
    s.auth_root1.assign("/data");
  });
  auto dialog = open();
  ASSERT_EQ(dialog->focusedId(), kIdEnable1);
  EXPECT_TRUE(dialog->control(kIdEnable1)->checked);
  ASSERT_TRUE(dialog->handleKey(typed(U' ')));
  EXPECT_FALSE(dialog->control(kIdEnable1)->checked);
  EXPECT_FALSE(dialog->handleKey(key(Kind::F1)));

  const config::Settings s = store.snapshot();
  EXPECT_FALSE(s.auth_enable1);
  EXPECT_EQ(s.auth_user1.view(), "alice");
  EXPECT_EQ(stored("auth_enable1"), "0");
  EXPECT_EQ(stored("auth_user1"), "alice");
  EXPECT_EQ(stored("auth_pwd1"), "pw");
  EXPECT_EQ(stored("auth_root1"), "/data");
}

TEST_F(OptionsDialogTest, EveryControlShowsItsSetting) {
  changeSettings([](config::Settings& s) {
    s.auth_enable1 = true;
    s.auth_user1.assign("u1");
    s.auth_pwd1.assign("p1");
    s.auth_root1.assign("/r1");
    s.auth_enable2 = true;
    s.auth_user2.assign("u2");
    s.auth_pwd2.assign("p2");
    s.auth_root2.assign("/r2");
    s.auth_Anonymous = false;
    s.auth_anonyRoot.assign("/anon");
    s.opt_enableUtf8 = true;
    s.use_manualip = true;
    s.bind_manualip.assign("127.0.0.1");
    s.bind_manualport.assign("2121");
    s.opt_keepLightOn = true;
  });
  auto dialog = open();
  const std::vector<std::pair<int, std::u16string>> texts{{kIdUser1, u"u1"},
                                                          {kIdPassword1, u"p1"},
                                                          {kIdRoot1, u"/r1"},
                                                          {kIdUser2, u"u2"},
                                                          {kIdPassword2, u"p2"},
                                                          {kIdRoot2, u"/r2"},
                                                          {kIdAnonymousRoot, u"/anon"},
                                                          {kIdAddress, u"127.0.0.1"},
                                                          {kIdPort, u"2121"}};
  for (const auto& [id, text] : texts) EXPECT_EQ(dialog->control(id)->text, text) << id;
  const std::vector<std::pair<int, bool>> boxes{{kIdEnable1, true},    {kIdEnable2, true},
                                                {kIdAnonymous, false}, {kIdEnableUtf8, true},
                                                {kIdManualIp, true},   {kIdKeepLightOn, true}};
  for (const auto& [id, checked] : boxes) EXPECT_EQ(dialog->control(id)->checked, checked) << id;

  // Every box flipped and OK: each flag lands in its own value.
  for (const auto& [id, checked] : boxes) {
    focusOn(*dialog, id);
    ASSERT_TRUE(dialog->handleKey(typed(U' ')));
  }
  EXPECT_FALSE(dialog->handleKey(key(Kind::F1)));
  EXPECT_EQ(stored("auth_enable1"), "0");
  EXPECT_EQ(stored("auth_enable2"), "0");
  EXPECT_EQ(stored("auth_Anonymous"), std::string("1\0", 2));
  EXPECT_EQ(stored("opt_enableUtf8"), "0");
  EXPECT_EQ(stored("use_manualip"), "0");
  EXPECT_EQ(stored("opt_keepLightOn"), "0");
  EXPECT_EQ(stored("bind_manualport"), "2121");
  EXPECT_EQ(stored("auth_root2"), "/r2");
}

// ---- Texts -----------------------------------------------------------------------------------

TEST_F(OptionsDialogTest, PasswordShowsStarsButStoresWhatWasTyped) {
  auto dialog = open();
  focusOn(*dialog, kIdPassword1);
  type(*dialog, u"s3cret");
  test::FakeCanvas canvas(24, 80);
  dialog->draw(canvas);
  EXPECT_EQ(canvas.find("s3cret").row, -1) << canvas.screen();
  const auto stars = canvas.find("[******");
  ASSERT_EQ(stars.row, controlTextRow(*dialog->control(kIdPassword1))) << canvas.screen();
  EXPECT_EQ(canvas.cursorRow(), stars.row);
  EXPECT_EQ(canvas.cursorColumn(), stars.column + 7);  // after the six stars

  EXPECT_FALSE(dialog->handleKey(key(Kind::F1)));
  EXPECT_EQ(store.snapshot().auth_pwd1.view(), "s3cret");
  EXPECT_EQ(stored("auth_pwd1"), "s3cret");
}

TEST_F(OptionsDialogTest, ChineseTextGoesBothWaysThroughTheCodePage) {
  const std::string root = codePage("/存储卡/照片");
  ASSERT_EQ(root.size(), 1 + 6 + 1 + 4u);  // double-byte characters
  changeSettings([](config::Settings& s) { s.auth_user2.assign("\xd5\xc5\xc8\xfd"); });  // 张三
  {
    config::Settings s = store.snapshot();
    s.auth_root1.assign(root);
    store.replace(s);
  }
  auto dialog = open();
  EXPECT_EQ(dialog->control(kIdRoot1)->text, u"/存储卡/照片");
  EXPECT_EQ(dialog->control(kIdUser2)->text, u"张三");
  test::FakeCanvas canvas(24, 80);
  dialog->draw(canvas);
  EXPECT_EQ(canvas.find("/存储卡/照片").row, controlTextRow(*dialog->control(kIdRoot1)))
      << canvas.screen();

  focusOn(*dialog, kIdAnonymousRoot);
  ASSERT_TRUE(dialog->handleKey(key(Kind::End)));
  type(*dialog, u"共享");
  EXPECT_FALSE(dialog->handleKey(key(Kind::F1)));
  EXPECT_EQ(stored("auth_root1"), root);
  EXPECT_EQ(stored("auth_user2"), "\xd5\xc5\xc8\xfd");
  EXPECT_EQ(stored("auth_anonyRoot"), codePage("/共享"));
}

struct CutCase {
  std::u16string prefix;
  std::size_t bytes;  // what the field keeps
};

class OptionsTextCut : public OptionsDialogTest, public testing::WithParamInterface<CutCase> {};

TEST_P(OptionsTextCut, LongChineseTextIsCutAtACharacterBoundaryWithin511Bytes) {
  auto dialog = open();
  focusOn(*dialog, kIdRoot1);
  while (!dialog->control(kIdRoot1)->text.empty()) dialog->handleKey(key(Kind::Backspace));
  std::u16string text = GetParam().prefix;
  for (int i = 0; i < 300; ++i) text += u"中";
  type(*dialog, text);
  ASSERT_EQ(dialog->control(kIdRoot1)->text, text);
  EXPECT_FALSE(dialog->handleKey(key(Kind::F1)));

  const config::Settings s = store.snapshot();
  ASSERT_EQ(s.auth_root1.size(), GetParam().bytes);
  EXPECT_EQ(s.auth_root1.c_str()[GetParam().bytes], '\0');
  // Only whole characters: the kept bytes read back as the prefix and whole 中.
  std::u16string kept = GetParam().prefix;
  for (std::size_t i = 0; i < (GetParam().bytes - GetParam().prefix.size()) / 2; ++i) kept += u"中";
  EXPECT_EQ(s.auth_root1.view(), codePage(platform::utf16ToUtf8(kept)));
  EXPECT_EQ(stored("auth_root1"), std::string(s.auth_root1.view()));
}

INSTANTIATE_TEST_SUITE_P(Lengths, OptionsTextCut,
                         testing::Values(CutCase{u"", 510},  // 255 characters; the 256th would
                                                             // need byte 512
                                         CutCase{u"a", 511}, CutCase{u"ab", 510}));

TEST_F(OptionsDialogTest, AnEditHoldsAtMost511UnitsAndAFullFieldRoundTrips) {
  const std::string full(511, 'f');
  changeSettings([](config::Settings& s) { s.auth_anonyRoot.assign(std::string(511, 'f')); });
  auto dialog = open();
  EXPECT_EQ(dialog->control(kIdAnonymousRoot)->text.size(), 511u);
  focusOn(*dialog, kIdUser1);
  for (int i = 0; i < 600; ++i) dialog->handleKey(typed(U'x'));
  EXPECT_EQ(dialog->control(kIdUser1)->text.size(), 511u);
  EXPECT_FALSE(dialog->handleKey(key(Kind::F1)));
  EXPECT_EQ(stored("auth_anonyRoot"), full);
  EXPECT_EQ(stored("auth_user1")->size(), 511u);
}

// ---- Editing ---------------------------------------------------------------------------------

TEST_F(OptionsDialogTest, EditKeysWorkAtTheCaret) {
  auto dialog = open();
  focusOn(*dialog, kIdUser2);
  auto text = [&] { return platform::utf16ToUtf8(dialog->control(kIdUser2)->text); };
  ASSERT_EQ(text(), "guest");
  const std::vector<std::pair<std::vector<KeyEvent>, std::string>> steps{
      {{key(Kind::Home), typed(U'X')}, "Xguest"},
      {{key(Kind::Right), key(Kind::Right), typed(U'-')}, "Xgu-est"},
      {{key(Kind::Backspace), key(Kind::Backspace)}, "Xgest"},
      {{key(Kind::Delete), key(Kind::Delete)}, "Xgt"},
      {{key(Kind::End), key(Kind::Delete), key(Kind::Left), key(Kind::Backspace)}, "Xt"},
      {{key(Kind::Home), key(Kind::Backspace), key(Kind::Left), typed(U' ')}, " Xt"},
      // A character outside the basic plane is one character: typed, stepped over, deleted.
      {{key(Kind::End), typed(U'\U0001F600'), key(Kind::Left), typed(U'!')}, " Xt!\U0001F600"},
      {{key(Kind::End), key(Kind::Backspace)}, " Xt!"},
      // Control characters are not typed.
      {{typed(U'\t'), typed(U'\x7f'), typed(U'\x1b')}, " Xt!"},
  };
  for (const auto& [keys, expected] : steps) {
    for (const KeyEvent& k : keys) ASSERT_TRUE(dialog->handleKey(k));
    EXPECT_EQ(text(), expected);
  }
}

TEST_F(OptionsDialogTest, SpaceTogglesACheckBoxAndTypesInAnEdit) {
  auto dialog = open();
  ASSERT_EQ(dialog->focusedId(), kIdEnable1);
  ASSERT_TRUE(dialog->handleKey(typed(U' ')));
  EXPECT_TRUE(dialog->control(kIdEnable1)->checked);
  ASSERT_TRUE(dialog->handleKey(typed(U' ')));
  EXPECT_FALSE(dialog->control(kIdEnable1)->checked);
  ASSERT_TRUE(dialog->handleKey(typed(U'x')));  // a check box takes no text
  EXPECT_EQ(dialog->control(kIdEnable1)->text, u"用户1 名称/密码/目录：");
  focusOn(*dialog, kIdPort);
  ASSERT_TRUE(dialog->handleKey(typed(U' ')));
  EXPECT_EQ(dialog->control(kIdPort)->text, u"21 ");
}

TEST_F(OptionsDialogTest, NarrowEditScrollsSidewaysToKeepTheCaretInside) {
  auto dialog = open();
  focusOn(*dialog, kIdPort);
  // The port edit is 7 cells: a bracket, 5 cells of text, a bracket.
  const CellRect cells = controlCells(*dialog->control(kIdPort));
  ASSERT_EQ(cells.width, 7);
  ASSERT_EQ(editInnerWidth(*dialog->control(kIdPort)), 5);
  for (int i = 0; i < 2; ++i) dialog->handleKey(key(Kind::Backspace));
  type(*dialog, u"1234567890");
  test::FakeCanvas canvas(24, 80);
  const int row = controlTextRow(*dialog->control(kIdPort));

  dialog->draw(canvas);
  EXPECT_EQ(canvas.find("[7890 ]").column, cells.column) << canvas.screen();
  EXPECT_EQ(canvas.cursorColumn(), cells.column + 5);
  EXPECT_EQ(canvas.cursorRow(), row);

  dialog->handleKey(key(Kind::Home));
  dialog->draw(canvas);
  EXPECT_EQ(canvas.find("[12345]").column, cells.column) << canvas.screen();
  EXPECT_EQ(canvas.cursorColumn(), cells.column + 1);

  // Deleting at the end pulls the text back to fill the edit.
  dialog->handleKey(key(Kind::End));
  for (int i = 0; i < 6; ++i) dialog->handleKey(key(Kind::Backspace));
  dialog->draw(canvas);
  EXPECT_EQ(canvas.find("[1234 ]").column, cells.column) << canvas.screen();

  // Wide characters are never shown in half.
  for (int i = 0; i < 4; ++i) dialog->handleKey(key(Kind::Backspace));
  type(*dialog, u"中文字符");
  dialog->draw(canvas);
  EXPECT_EQ(canvas.find("[字符 ]").column, cells.column) << canvas.screen();
  dialog->handleKey(key(Kind::Home));
  dialog->draw(canvas);
  EXPECT_EQ(canvas.find("[中文 ]").column, cells.column) << canvas.screen();
}

// ---- Focus -----------------------------------------------------------------------------------

TEST_F(OptionsDialogTest, TabAndShiftTabFollowTheTemplateOrder) {
  auto dialog = open(60, 40);
  std::vector<int> forward;
  for (int i = 0; i < 15; ++i) {
    dialog->handleKey(key(Kind::Tab));
    forward.push_back(dialog->focusedId());
  }
  EXPECT_EQ(forward, (std::vector<int>{1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010,
                                       1011, 1012, 1013, 1014, 1000}));
  dialog->handleKey(key(Kind::BackTab));
  EXPECT_EQ(dialog->focusedId(), 1014);
  dialog->handleKey(key(Kind::BackTab));
  EXPECT_EQ(dialog->focusedId(), 1013);
  EXPECT_EQ(dialog->scrollBar().position, 0);  // everything shows at 40 x 60
}

TEST_F(OptionsDialogTest, UpAndDownMoveBetweenRowsOnScreen) {
  auto dialog = open(60, 40);
  const std::vector<std::pair<Kind, int>> moves{
      {Kind::Down, 1001}, {Kind::Right, 1001}, {Kind::Down, 1006}, {Kind::Down, 1003},
      {Kind::Down, 1004}, {Kind::Down, 1007},  {Kind::Down, 1008}, {Kind::Down, 1009},
      {Kind::Down, 1010}, {Kind::Down, 1014},  {Kind::Down, 1011}, {Kind::Down, 1012},
      {Kind::Up, 1011},   {Kind::Up, 1014}};
  for (const auto& [k, id] : moves) {
    dialog->handleKey(key(k));
    EXPECT_EQ(dialog->focusedId(), id);
  }
  focusOn(*dialog, kIdPassword1);
  dialog->handleKey(key(Kind::Up));
  EXPECT_EQ(dialog->focusedId(), kIdEnable1);
  focusOn(*dialog, kIdPort);
  dialog->handleKey(key(Kind::Up));
  EXPECT_EQ(dialog->focusedId(), kIdManualIp);
}

// ---- Scrolling -------------------------------------------------------------------------------

TEST_F(OptionsDialogTest, ScrollRangeEndsAtTheAddressEditsScreenTop) {
  auto dialog = open();
  const ScrollBarState& bar = dialog->scrollBar();
  EXPECT_EQ(bar.minimum, 0);
  EXPECT_EQ(bar.maximum, kDialogClientTopPx + 187 * 2);  // 390: caption row, then 187 units
  EXPECT_EQ(bar.page, 50);
  EXPECT_EQ(bar.position, 0);
  EXPECT_EQ(bar.maximumPosition(), 340);
}

TEST_F(OptionsDialogTest, LineDownMovesControlsTenPixelsAStepAndStopsAtTheMaximum) {
  auto dialog = open();
  const DialogControls start = dialog->controls();
  int moved = 0;
  for (int step = 1; step <= 40; ++step) {
    const int delta = dialog->scroll(ScrollRequest::LineDown);
    EXPECT_EQ(delta, step <= 34 ? 10 : 0) << step;
    moved += delta;
    EXPECT_EQ(dialog->scrollBar().position, moved);
    for (std::size_t i = 0; i < start.size(); ++i) {
      EXPECT_EQ(dialog->controls()[i].rect.top, start[i].rect.top - moved) << step;
    }
  }
  EXPECT_EQ(dialog->scrollBar().position, 340);
  EXPECT_EQ(dialog->scroll(ScrollRequest::Top), -340);
  EXPECT_EQ(dialog->scrollBar().position, 0);
  for (std::size_t i = 0; i < start.size(); ++i) {
    EXPECT_EQ(dialog->controls()[i].rect, start[i].rect);
  }
}

struct ScrollCase {
  int from;
  ScrollRequest request;
  int track;
  int delta;
  int position;
};

class OptionsScroll : public OptionsDialogTest, public testing::WithParamInterface<ScrollCase> {};

TEST_P(OptionsScroll, RequestGivesItsDeltaClampedToTheRange) {
  auto dialog = open();
  const ScrollCase& c = GetParam();
  ASSERT_EQ(dialog->scroll(ScrollRequest::ThumbTrack, c.from), c.from);
  const int top = dialog->control(kIdEnable1)->rect.top;
  EXPECT_EQ(dialog->scroll(c.request, c.track), c.delta);
  EXPECT_EQ(dialog->scrollBar().position, c.position);
  EXPECT_EQ(dialog->control(kIdEnable1)->rect.top, top - c.delta);
}

INSTANTIATE_TEST_SUITE_P(Requests, OptionsScroll,
                         testing::Values(ScrollCase{0, ScrollRequest::LineUp, 0, 0, 0},
                                         ScrollCase{5, ScrollRequest::LineUp, 0, -5, 0},
                                         ScrollCase{100, ScrollRequest::LineUp, 0, -10, 90},
                                         ScrollCase{335, ScrollRequest::LineDown, 0, 5, 340},
                                         ScrollCase{0, ScrollRequest::PageDown, 0, 50, 50},
                                         ScrollCase{300, ScrollRequest::PageDown, 0, 40, 340},
                                         ScrollCase{120, ScrollRequest::PageUp, 0, -50, 70},
                                         ScrollCase{30, ScrollRequest::PageUp, 0, -30, 0},
                                         ScrollCase{0, ScrollRequest::ThumbTrack, 123, 123, 123},
                                         ScrollCase{200, ScrollRequest::ThumbTrack, 50, -150, 50},
                                         ScrollCase{10, ScrollRequest::ThumbTrack, 1000, 330, 340},
                                         ScrollCase{10, ScrollRequest::ThumbTrack, -5, -10, 0},
                                         ScrollCase{200, ScrollRequest::Top, 0, -200, 0},
                                         ScrollCase{0, ScrollRequest::Bottom, 0, 340, 340},
                                         ScrollCase{100, ScrollRequest::Bottom, 0, 240, 340},
                                         ScrollCase{100, ScrollRequest::ThumbPosition, 0, 0, 100},
                                         ScrollCase{100, ScrollRequest::EndScroll, 0, 0, 100}));

TEST_F(OptionsDialogTest, PageKeysScrollByThePage) {
  auto dialog = open();
  for (int i = 0; i < 8; ++i) dialog->handleKey(key(Kind::PageDown));
  EXPECT_EQ(dialog->scrollBar().position, 340);
  dialog->handleKey(key(Kind::PageUp));
  EXPECT_EQ(dialog->scrollBar().position, 290);
}

TEST_F(OptionsDialogTest, FocusOnAControlOffScreenScrollsByLinesUntilItShows) {
  auto dialog = open(24, 80);
  const int lastRow = lastClientRow(24);
  // At 80 x 24 the IP box sits under the soft keys until the dialog scrolls.
  ASSERT_GT(controlTextRow(*dialog->control(kIdManualIp)), lastRow);
  focusOn(*dialog, kIdManualIp);
  EXPECT_EQ(dialog->scrollBar().position, 10);
  EXPECT_EQ(controlTextRow(*dialog->control(kIdManualIp)), lastRow);
  dialog->handleKey(key(Kind::Tab));
  EXPECT_EQ(dialog->focusedId(), kIdAddress);
  EXPECT_EQ(dialog->scrollBar().position, 40);
  EXPECT_EQ(controlTextRow(*dialog->control(kIdAddress)), lastRow);

  test::FakeCanvas canvas(24, 80);
  dialog->draw(canvas);
  EXPECT_EQ(canvas.find("指定IP和端口：").row, lastRow - 1) << canvas.screen();
  EXPECT_EQ(canvas.find("192.168.1.101").row, lastRow);
  EXPECT_EQ(canvas.cursorRow(), lastRow);

  // Down past the lowest control scrolls the dialog on.
  dialog->handleKey(key(Kind::Down));
  EXPECT_EQ(dialog->focusedId(), kIdAddress);
  EXPECT_EQ(dialog->scrollBar().position, 50);

  // Back to the first control from the bottom: lines up until its row shows below the caption.
  for (int i = 0; i < 8; ++i) dialog->handleKey(key(Kind::PageDown));
  ASSERT_EQ(dialog->scrollBar().position, 340);
  focusOn(*dialog, kIdEnable1);
  EXPECT_EQ(dialog->scrollBar().position, 50);
  EXPECT_EQ(controlTextRow(*dialog->control(kIdEnable1)), firstClientRow());
  // Up past the top control scrolls up a line.
  dialog->handleKey(key(Kind::Up));
  EXPECT_EQ(dialog->scrollBar().position, 40);
}

// ---- Mouse and screen ------------------------------------------------------------------------

TEST_F(OptionsDialogTest, ClicksFocusAndToggleControlsAndDriveTheScrollBar) {
  auto dialog = open(24, 80);
  const DialogControl& anonymous = *dialog->control(kIdAnonymous);
  ASSERT_TRUE(anonymous.checked);
  dialog->handleKey(clickAt(controlTextRow(anonymous), controlCells(anonymous).column + 5));
  EXPECT_EQ(dialog->focusedId(), kIdAnonymous);
  EXPECT_FALSE(dialog->control(kIdAnonymous)->checked);

  const DialogControl& user = *dialog->control(kIdUser2);  // "guest"
  dialog->handleKey(clickAt(controlTextRow(user), controlCells(user).column + 3));
  EXPECT_EQ(dialog->focusedId(), kIdUser2);
  EXPECT_EQ(dialog->control(kIdUser2)->cursor, 2u);  // before the 'e'
  dialog->handleKey(typed(U'_'));
  EXPECT_EQ(dialog->control(kIdUser2)->text, u"gu_est");

  // Clicks beside every control do nothing.
  dialog->handleKey(clickAt(controlTextRow(user), 60));
  EXPECT_EQ(dialog->focusedId(), kIdUser2);

  // The scroll bar in the last column: arrows scroll a line, the track below the thumb a page.
  dialog->handleKey(clickAt(lastClientRow(24), 79));
  EXPECT_EQ(dialog->scrollBar().position, 10);
  dialog->handleKey(clickAt(lastClientRow(24) - 1, 79));
  EXPECT_EQ(dialog->scrollBar().position, 60);
  dialog->handleKey(clickAt(firstClientRow(), 79));
  EXPECT_EQ(dialog->scrollBar().position, 50);
  EXPECT_EQ(dialog->outcome(), OptionsDialog::Outcome::Open);
}

TEST_F(OptionsDialogTest, DrawsCaptionProductLineControlsAndSoftKeys) {
  changeSettings([](config::Settings& s) { s.opt_enableUtf8 = true; });
  auto dialog = open(24, 80);
  test::FakeCanvas canvas(24, 80);
  dialog->draw(canvas);
  EXPECT_EQ(canvas.find("Drovn选项").row, 0) << canvas.screen();
  EXPECT_EQ(canvas.styleAt(0, 40), platform::CellStyle::Bar);
  EXPECT_EQ(canvas.find("Drovn 2.2 版").row, 1);
  const auto ok = canvas.find("确定");
  const auto cancel = canvas.find("取消");
  EXPECT_EQ(ok.row, 23);
  EXPECT_LT(ok.column, 10);
  EXPECT_EQ(cancel.row, 23);
  EXPECT_GT(cancel.column, 70);
  EXPECT_EQ(canvas.find("[ ] 用户1 名称/密码/目录：").row,
            controlTextRow(*dialog->control(kIdEnable1)));
  EXPECT_EQ(canvas.styleAt(controlTextRow(*dialog->control(kIdEnable1)), 0),
            platform::CellStyle::Highlight);  // focused
  EXPECT_EQ(canvas.find("[x] 启用UTF8编码").row, controlTextRow(*dialog->control(kIdEnableUtf8)));
  EXPECT_EQ(canvas.find("[admin").row, controlTextRow(*dialog->control(kIdUser1)));
  EXPECT_EQ(canvas.cursorRow(), -1);  // no edit focused
  // The controls below the screen are not drawn over the soft keys.
  EXPECT_EQ(canvas.find("指定IP和端口").row, -1);

  // Upright, everything shows at once.
  auto upright = open(60, 40);
  test::FakeCanvas tall(60, 40);
  upright->draw(tall);
  for (const char* text : {"用户1", "用户2", "匿名用户 目录：", "启用UTF8编码", "保持屏幕常亮",
                           "指定IP和端口：", "192.168.1.101", "[21", "[guest"}) {
    EXPECT_NE(tall.find(text).row, -1) << text << "\n" << tall.screen();
  }
  EXPECT_EQ(tall.find("确定").row, 59);
}

}  // namespace
}  // namespace drovn::shell
