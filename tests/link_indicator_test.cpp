#include <gtest/gtest.h>

#include <QImage>
#include <set>

#include "app/link_indicator.h"

namespace orvent {
namespace {

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kGreen = qRgb(0, 128, 0);
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kAmber = qRgb(230, 140, 0);
const QRgb kMixed = qRgba(0, 0, 0, 0);  // no colour of the picture's

// The colour of one cell of the picture's grid, or kMixed when its pixels
// differ (something drawn off the grid).
QRgb Cell(const QImage& picture, int column, int row) {
  const QRgb first = picture.pixel(column * kIndicatorScale, row * kIndicatorScale);
  for (int y = 0; y < kIndicatorScale; ++y) {
    for (int x = 0; x < kIndicatorScale; ++x) {
      if (picture.pixel(column * kIndicatorScale + x, row * kIndicatorScale + y) != first) return kMixed;
    }
  }
  return first;
}

// The interior columns (inside the outline) that the bar marks on cell row 5.
std::set<int> BarColumns(const QImage& picture, QRgb colour) {
  std::set<int> columns;
  for (int x = 2; x < 14; ++x) {
    if (Cell(picture, x, 5) == colour) columns.insert(x);
  }
  return columns;
}

TEST(LinkIndicator, BarColumnsFollowTheCounter) {
  const std::pair<int, std::set<int>> cases[] = {
      {0, {2, 3, 4}},           // columns 0..4; 0 and 1 fall on the outline
      {11, {11, 12, 13}},       // 11..15; 14 and 15 fall on the outline
      {12, {12, 13}},           // 12..15, column 16 leaves no mark
      {13, {13}},               // 13, 14, 15, 1
      {16, {2, 3, 4}},          // 16, 1, 2, 3, 4
  };
  for (const auto& [counter, interior] : cases) {
    SCOPED_TRACE(counter);
    QImage picture;
    DrawLinkIndicator(picture, HealthLevel::Working, counter);
    EXPECT_EQ(BarColumns(picture, kGreen), interior);
  }
  EXPECT_EQ(IndicatorBarColumn(13, 4), 1);
  EXPECT_EQ(IndicatorBarColumn(12, 4), 16);
}

TEST(LinkIndicator, ALargeBoxWithItsOutlineAndBarOnTheGrid) {
  QImage picture;
  DrawLinkIndicator(picture, HealthLevel::Stopped, 11);
  EXPECT_EQ(picture.size(), QSize(kIndicatorWidth, kIndicatorHeight));
  EXPECT_GE(picture.height(), 48) << "readable across the room";
  for (int row = 0; row < kIndicatorRows; ++row) {
    for (int column = 0; column < kIndicatorColumns; ++column) {
      const bool outline = row < 2 || row >= kIndicatorRows - 2 || column < 2 || column >= kIndicatorColumns - 2;
      const bool bar = row >= 2 && row < 9 && column >= 11 && column <= 15;
      EXPECT_EQ(Cell(picture, column, row), outline || bar ? kRed : kWhite) << column << "," << row;
    }
  }

  DrawLinkIndicator(picture, HealthLevel::Working, 0);  // redrawn completely: nothing red stays
  for (int y = 0; y < picture.height(); ++y) {
    for (int x = 0; x < picture.width(); ++x) EXPECT_NE(picture.pixel(x, y), kRed);
  }
}

TEST(LinkIndicator, EachLevelHasItsColour) {
  const std::pair<HealthLevel, QRgb> cases[] = {
      {HealthLevel::Working, kGreen}, {HealthLevel::Attention, kAmber}, {HealthLevel::Stopped, kRed}};
  for (const auto& [level, colour] : cases) {
    SCOPED_TRACE(static_cast<int>(level));
    QImage picture;
    DrawLinkIndicator(picture, level, 5);
    EXPECT_EQ(Cell(picture, 0, 0), colour);
    EXPECT_EQ(BarColumns(picture, colour), (std::set<int>{5, 6, 7, 8, 9}));
  }
}

TEST(LinkIndicator, SeventeenStepsBringTheCounterBack) {
  int counter = 0;
  for (int i = 0; i < 17; ++i) counter = AdvanceActivityCounter(counter);
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(AdvanceActivityCounter(16), 0);
}

}  // namespace
}  // namespace orvent
