#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>

#include "app/main_window.h"
#include "app/status_text.h"

namespace orvent {
namespace {

TEST(StatusText, StampLeavesOutTheTimeAtMidnight) {
  const QLocale russian(QLocale::Russian, QLocale::Russia);
  EXPECT_EQ(FormatStatusLine(QDateTime(QDate(2011, 9, 6), QTime(14, 30, 5)), QStringLiteral("Соединение..."), russian),
            QStringLiteral("06.09.2011 14:30:05 Соединение..."));
  EXPECT_EQ(FormatStatusStamp(QDateTime(QDate(2011, 9, 6), QTime(0, 0)), russian), QStringLiteral("06.09.2011"));
}

TEST(MainWindow, LayoutAndPages) {
  TForm1 form;
  EXPECT_EQ(form.size(), QSize(447, 302));
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Драйвер ORVENT"));
  EXPECT_EQ(form.Notebook1->currentWidget(), form.PageDefault);
  EXPECT_TRUE(form.AdvGlowButton28->isChecked());
  EXPECT_EQ(form.Image2->geometry(), QRect(176, 8, 16, 16));
  EXPECT_EQ(form.Image3->geometry(), QRect(416, 8, 16, 16));
  EXPECT_EQ(form.Memo1->geometry(), QRect(7, 56, 432, 100));
  EXPECT_EQ(form.AdvGlowButton2->text(), QStringLiteral("Остановить"));
  EXPECT_FALSE(form.AdvGlowButton1->isEnabled());
  EXPECT_FALSE(form.AdvOfficeComboBox1->isEnabled());

  form.AdvGlowButton47->click();
  EXPECT_EQ(form.Notebook1->currentWidget(), form.PageSetup);
  EXPECT_FALSE(form.AdvGlowButton28->isChecked());
  form.AdvGlowButton28->click();
  EXPECT_EQ(form.Notebook1->currentWidget(), form.PageDefault);
  EXPECT_FALSE(form.AdvGlowButton47->isChecked());
}

TEST(MainWindow, CloseCodeIsFiveDigitsAndShown) {
  for (int i = 0; i < 200; ++i) {
    const int code = DrawCloseCode().toInt();
    EXPECT_GE(code, 10000);
    EXPECT_LE(code, 99998);
  }
  TForm1 form;
  EXPECT_EQ(form.Label15->text(), form.CloseCode);
  EXPECT_EQ(form.CloseCode.size(), 5);
}

TEST(MainWindow, MinimisingHidesOnlyWhereTheNotificationAreaIs) {
  for (const bool tray : {true, false}) {
    SCOPED_TRACE(tray);
    TForm1 form;
    form.TrayAvailable = [tray] { return tray; };
    form.show();
    form.setWindowState(Qt::WindowMinimized);
    QCoreApplication::processEvents();
    EXPECT_EQ(form.isVisible(), !tray);
    form.N4Click();
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.windowState() & Qt::WindowMinimized);
  }
}

TEST(MainWindow, StatusLinesAreAppended) {
  TForm1 form;
  form.ShowStatus(QStringLiteral("Соединение..."));
  form.ShowStatus(QStringLiteral("Соединение установлено."));
  const QStringList lines = form.Memo1->toPlainText().split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 2);
  EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" Соединение установлено.")));
}

}  // namespace
}  // namespace orvent
