#include <gtest/gtest.h>

#include <string>

#include "platform/Utf8.h"
#include "shell/AboutDialog.h"
#include "shell/DialogView.h"
#include "shell/FakeCanvas.h"

namespace drovn::shell {
namespace {

using platform::KeyEvent;
using Kind = platform::KeyEvent::Kind;

KeyEvent key(Kind kind, int row = -1, int column = -1) {
  KeyEvent k;
  k.kind = kind;
  k.row = row;
  k.column = column;
  return k;
}

void expectLaidOutFrom(const AboutDialog& dialog, int templateId) {
  EXPECT_EQ(dialog.layoutTemplate(), templateId);
  for (const ControlTemplate& c : findDialogTemplate(templateId)->controls) {
    const DialogControl* control = findControl(dialog.controls(), c.id);
    ASSERT_NE(control, nullptr) << c.id;
    EXPECT_EQ(control->rect, dialogRectToPixels(c.rect)) << templateId << "/" << c.id;
  }
}

// Where the icon's first art line, the product line and the description show.
struct Shown {
  test::FakeCanvas::Position icon, product, description;
};

Shown drawAt(AboutDialog& dialog, int rows, int columns, test::FakeCanvas& canvas) {
  dialog.draw(canvas);
  EXPECT_EQ(canvas.find("关于 Drovn").row, 0) << canvas.screen();
  const auto art = iconArt(kProgramIcon);
  const auto icon = canvas.find(platform::utf16ToUtf8(art[0]));
  for (std::size_t i = 1; i < art.size(); ++i) {
    const std::string row = canvas.rowText(icon.row + static_cast<int>(i));
    const std::string line = platform::utf16ToUtf8(art[i]);
    // Art rows are ASCII, so the byte offset before them is their column.
    EXPECT_EQ(row.find(line), static_cast<std::size_t>(icon.column)) << canvas.screen();
  }
  EXPECT_EQ(canvas.find("确定").row, rows - 1);
  EXPECT_LT(canvas.find("确定").column, columns / 2);
  const std::u16string description = findControl(dialog.controls(), kIdAboutDescription)->text;
  return Shown{icon, canvas.find("Drovn 2.2 版"), canvas.find(platform::utf16ToUtf8(description))};
}

TEST(AboutDialog, UprightScreenTakesThePortraitLayoutAndLyingOneTheLandscape) {
  AboutDialog dialog;
  dialog.resize(60, 40);
  expectLaidOutFrom(dialog, kAboutPortraitTemplate);
  test::FakeCanvas tall(60, 40);
  const Shown portrait = drawAt(dialog, 60, 40, tall);
  // Stacked and centred: icon, then the product line, then the description.
  EXPECT_GT(portrait.icon.row, 0);
  EXPECT_GT(portrait.product.row, portrait.icon.row + 3) << tall.screen();
  EXPECT_GT(portrait.description.row, portrait.product.row) << tall.screen();
  const int productWidth = platform::displayWidth(u"Drovn 2.2 版");
  EXPECT_NEAR(portrait.product.column + productWidth / 2, 39 / 2, 1) << tall.screen();
  EXPECT_NEAR(portrait.icon.column + 4, 39 / 2, 1) << tall.screen();

  // The terminal turns: laid out again, side by side.
  dialog.resize(24, 80);
  expectLaidOutFrom(dialog, kAboutLandscapeTemplate);
  test::FakeCanvas wide(24, 80);
  const Shown landscape = drawAt(dialog, 24, 80, wide);
  EXPECT_GT(landscape.product.column, landscape.icon.column + 8) << wide.screen();
  const int descriptionWidth =
      platform::displayWidth(findControl(dialog.controls(), kIdAboutDescription)->text);
  EXPECT_NEAR(landscape.description.column + descriptionWidth / 2,
              landscape.product.column + productWidth / 2, 1)
      << wide.screen();
  EXPECT_LE(landscape.description.row, landscape.icon.row + 3) << wide.screen();

  // And back.
  dialog.resize(60, 40);
  expectLaidOutFrom(dialog, kAboutPortraitTemplate);
  // Square in pixels counts as landscape.
  dialog.resize(20, 40);
  expectLaidOutFrom(dialog, kAboutLandscapeTemplate);
}

class AboutEnds : public testing::TestWithParam<KeyEvent> {};

TEST_P(AboutEnds, DoneOrCloseEndsTheDialog) {
  AboutDialog dialog;
  dialog.resize(24, 80);
  EXPECT_FALSE(dialog.handleKey(GetParam()));
  EXPECT_TRUE(dialog.ended());
  EXPECT_FALSE(dialog.handleKey(key(Kind::Tab)));
}

INSTANTIATE_TEST_SUITE_P(Keys, AboutEnds,
                         testing::Values(key(Kind::Enter), key(Kind::F1), key(Kind::Escape),
                                         key(Kind::Click, 23, 2)));

class AboutStays : public testing::TestWithParam<KeyEvent> {};

TEST_P(AboutStays, OtherKeysLeaveItOpen) {
  AboutDialog dialog;
  dialog.resize(24, 80);
  EXPECT_TRUE(dialog.handleKey(GetParam()));
  EXPECT_FALSE(dialog.ended());
}

INSTANTIATE_TEST_SUITE_P(Keys, AboutStays,
                         testing::Values(key(Kind::Tab), key(Kind::Down), key(Kind::F2),
                                         key(Kind::CtrlA), key(Kind::Resize),
                                         key(Kind::Click, 0, 2), key(Kind::Click, 23, 70)));

}  // namespace
}  // namespace drovn::shell
