#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "shell/DialogTemplates.h"

namespace drovn::shell {
namespace {

// ---- Geometry --------------------------------------------------------------------------------

TEST(DialogGeometry, OneDialogUnitIsTwoPixelsEitherWay) {
  EXPECT_EQ(dialogUnitsToPixelsX(1), 2);
  EXPECT_EQ(dialogUnitsToPixelsY(1), 2);
  // A cell is 4 units across and 8 down.
  EXPECT_EQ(dialogUnitsToPixelsX(4), kCellWidthPx);
  EXPECT_EQ(dialogUnitsToPixelsY(8), kCellHeightPx);
  EXPECT_EQ(dialogRectToPixels({2, 187, 84, 13}), (PixelRect{4, 374, 168, 26}));
}

struct CellCase {
  PixelRect pixels;
  CellRect cells;
};

class PixelsToCells : public testing::TestWithParam<CellCase> {};

TEST_P(PixelsToCells, EdgesGoToTheCellThatHoldsThem) {
  EXPECT_EQ(pixelRectToCells(GetParam().pixels), GetParam().cells);
}

INSTANTIATE_TEST_SUITE_P(
    Rectangles, PixelsToCells,
    testing::Values(
        // Exactly on cell edges.
        CellCase{{0, 0, 16, 32}, {0, 0, 2, 2}},
        // The user 1 name and password edits touch in pixels and share no cell.
        CellCase{{4, 84, 136, 26}, {5, 0, 1, 17}}, CellCase{{144, 84, 92, 26}, {5, 18, 1, 11}},
        // Narrower than a cell still takes one.
        CellCase{{9, 17, 2, 2}, {1, 1, 1, 1}},
        // Scrolled above the screen: negative rows, not row 0.
        CellCase{{0, -20, 8, 16}, {-2, 0, 1, 1}}, CellCase{{0, -16, 8, 16}, {-1, 0, 1, 1}}));

struct ScreenCase {
  int rows;
  int columns;
  int widthPx;
  int heightPx;
  bool portrait;
};

class ScreenOrientation : public testing::TestWithParam<ScreenCase> {};

TEST_P(ScreenOrientation, PortraitOnlyWhenTallerThanWideInPixels) {
  const ScreenCase& c = GetParam();
  const ScreenPixels px = screenPixels(c.rows, c.columns);
  EXPECT_EQ(px.width, c.widthPx);
  EXPECT_EQ(px.height, c.heightPx);
  EXPECT_EQ(isPortraitScreen(c.rows, c.columns), c.portrait);
}

INSTANTIATE_TEST_SUITE_P(Screens, ScreenOrientation,
                         testing::Values(ScreenCase{60, 40, 320, 960, true},
                                         ScreenCase{24, 80, 640, 384, false},
                                         // 40 x 20 cells is square in pixels: landscape.
                                         ScreenCase{20, 40, 320, 320, false},
                                         ScreenCase{21, 40, 320, 336, true}));

// ---- Templates -------------------------------------------------------------------------------

std::vector<int> idsOf(const DialogTemplate& t) {
  std::vector<int> ids;
  for (const ControlTemplate& c : t.controls) ids.push_back(c.id);
  return ids;
}

TEST(DialogTemplates, OptionsHasItsFifteenControlsInTabOrderAndTheProductLine) {
  const DialogTemplate* t = findDialogTemplate(kOptionsTemplate);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->caption, u"Drovn选项");
  EXPECT_EQ(t->width, 143);
  EXPECT_EQ(t->height, 213);
  EXPECT_EQ(t->font, u"MS Shell Dlg");
  EXPECT_NE(t->style & kStyleVScroll, 0u);
  EXPECT_NE(t->style & kStyleSetFont, 0u);
  EXPECT_EQ(idsOf(*t), (std::vector<int>{1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008, 1009,
                                         1010, 1011, 1012, 1013, 1014, -1}));

  const DialogControls controls = createControls(*t);
  std::vector<int> checkBoxes, edits, passwords, tabStops;
  for (const DialogControl& c : controls) {
    if (c.isCheckBox()) checkBoxes.push_back(c.id);
    if (c.isEdit()) edits.push_back(c.id);
    if (c.isPassword()) passwords.push_back(c.id);
    if (c.isTabStop()) tabStops.push_back(c.id);
  }
  EXPECT_EQ(checkBoxes, (std::vector<int>{1000, 1003, 1008, 1010, 1011, 1014}));
  EXPECT_EQ(edits, (std::vector<int>{1001, 1002, 1004, 1005, 1006, 1007, 1009, 1012, 1013}));
  EXPECT_EQ(passwords, (std::vector<int>{1002, 1005}));
  EXPECT_EQ(tabStops.size(), 15u);
  EXPECT_EQ(findControl(controls, kIdStatic)->text, kProductLine);
  EXPECT_EQ(findControl(controls, kIdEnable1)->text, u"用户1 名称/密码/目录：");
}

TEST(DialogTemplates, AboutTemplatesCarryTheSameControlsPortraitAndLandscape) {
  const DialogTemplate* portrait = findDialogTemplate(kAboutPortraitTemplate);
  const DialogTemplate* landscape = findDialogTemplate(kAboutLandscapeTemplate);
  ASSERT_NE(portrait, nullptr);
  ASSERT_NE(landscape, nullptr);
  EXPECT_EQ(portrait->caption, u"关于 Drovn");
  EXPECT_EQ(landscape->caption, u"关于 Drovn");
  EXPECT_EQ(idsOf(*portrait), idsOf(*landscape));
  EXPECT_EQ(portrait->style & kStyleVScroll, 0u);
  // Each fits the screen it is made for: 40 x 60 cells upright, 80 x 24 lying.
  EXPECT_LE(dialogUnitsToPixelsX(portrait->width), screenPixels(60, 40).width);
  EXPECT_LE(dialogUnitsToPixelsX(landscape->width), screenPixels(24, 80).width);
  EXPECT_GT(landscape->width, portrait->width);
  EXPECT_GT(portrait->height, landscape->height);

  const DialogControls controls = createControls(*portrait);
  EXPECT_EQ(findControl(controls, kIdAboutIcon)->iconId, kProgramIcon);
  EXPECT_EQ(findControl(controls, kIdAboutProduct)->text, u"Drovn 2.2 版");
  EXPECT_FALSE(findControl(controls, kIdAboutDescription)->text.empty());
  EXPECT_FALSE(iconArt(kProgramIcon).empty());
  EXPECT_TRUE(iconArt(999).empty());
  EXPECT_EQ(findDialogTemplate(130), nullptr);
}

TEST(DialogTemplates, EveryControlLiesInsideItsDialogAndKeepsToItsRow) {
  for (int id : {kAboutPortraitTemplate, kAboutLandscapeTemplate, kOptionsTemplate}) {
    const DialogTemplate* t = findDialogTemplate(id);
    ASSERT_NE(t, nullptr);
    for (const ControlTemplate& c : t->controls) {
      EXPECT_GE(c.rect.x, 0) << id << "/" << c.id;
      EXPECT_LE(c.rect.x + c.rect.width, t->width) << id << "/" << c.id;
      EXPECT_LE(c.rect.y + c.rect.height, t->height) << id << "/" << c.id;
    }
  }
}

// ---- relayoutDialog --------------------------------------------------------------------------

TEST(RelayoutDialog, MovesEveryControlByIdAndPutsTheTitlesBack) {
  DialogControls dialog = createControls(*findDialogTemplate(kAboutPortraitTemplate));
  findControl(dialog, kIdAboutProduct)->text = u"changed";
  findControl(dialog, kIdAboutIcon)->iconId = 0;

  ASSERT_TRUE(relayoutDialog(dialog, kAboutLandscapeTemplate));
  const DialogTemplate* landscape = findDialogTemplate(kAboutLandscapeTemplate);
  for (const ControlTemplate& c : landscape->controls) {
    EXPECT_EQ(findControl(dialog, c.id)->rect, dialogRectToPixels(c.rect)) << c.id;
  }
  EXPECT_EQ(findControl(dialog, kIdAboutProduct)->text, kProductLine);
  EXPECT_EQ(findControl(dialog, kIdAboutIcon)->iconId, kProgramIcon);
}

TEST(RelayoutDialog, SkipsControlsTheDialogLacksAndLeavesOthersAlone) {
  DialogControls dialog = createControls(*findDialogTemplate(kAboutPortraitTemplate));
  dialog.erase(std::remove_if(dialog.begin(), dialog.end(),
                              [](const DialogControl& c) { return c.id == kIdAboutIcon; }),
               dialog.end());
  DialogControl extra;
  extra.id = 4242;
  extra.rect = PixelRect{1, 2, 3, 4};
  dialog.push_back(extra);

  ASSERT_TRUE(relayoutDialog(dialog, kAboutLandscapeTemplate));
  EXPECT_EQ(dialog.size(), 3u);
  EXPECT_EQ(findControl(dialog, kIdAboutIcon), nullptr);
  EXPECT_EQ(findControl(dialog, 4242)->rect, (PixelRect{1, 2, 3, 4}));
  EXPECT_EQ(findControl(dialog, kIdAboutDescription)->rect,
            dialogRectToPixels(findDialogTemplate(kAboutLandscapeTemplate)->controls[2].rect));
}

TEST(RelayoutDialog, UnknownTemplateChangesNothing) {
  DialogControls dialog = createControls(*findDialogTemplate(kAboutPortraitTemplate));
  const DialogControls before = dialog;
  EXPECT_FALSE(relayoutDialog(dialog, 107));
  ASSERT_EQ(dialog.size(), before.size());
  for (std::size_t i = 0; i < dialog.size(); ++i) EXPECT_EQ(dialog[i].rect, before[i].rect);
}

TEST(RelayoutDialog, EditKeepsWhatWasTypedAndOnlyMoves) {
  DialogControls dialog = createControls(*findDialogTemplate(kOptionsTemplate));
  DialogControl* user = findControl(dialog, kIdUser1);
  user->text = u"typed";
  user->rect.top -= 30;  // scrolled
  ASSERT_TRUE(relayoutDialog(dialog, kOptionsTemplate));
  EXPECT_EQ(user->text, u"typed");
  EXPECT_EQ(user->rect, dialogRectToPixels({2, 34, 68, 13}));
}

}  // namespace
}  // namespace drovn::shell
