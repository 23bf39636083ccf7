#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/access_dialog.h"
#include "app/message_form.h"

namespace orvent {
namespace {

// Runs `act` once the modal dialog is up, then returns the dialog's result.
int ExecWith(QDialog& dialog, const std::function<void()>& act) {
  QTimer::singleShot(0, &dialog, act);
  // A guard, should `act` fail to close the dialog.
  QTimer::singleShot(5000, &dialog, [&dialog] { dialog.done(-1); });
  return dialog.exec();
}

// Runs `act` once the dialog is up, then returns what it gave.
std::optional<std::string> AskWith(TForm2& dialog, const std::function<void()>& act) {
  QTimer::singleShot(0, &dialog, act);
  QTimer::singleShot(5000, &dialog, [&dialog] { dialog.done(-1); });
  return dialog.Ask();
}

TEST(AccessDialog, GivesWhatWasTypedAndKeepsItForNextTime) {
  TForm2 dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Закрытый доступ"));
  EXPECT_EQ(dialog.MaskEdit1->echoMode(), QLineEdit::Password);

  EXPECT_EQ(AskWith(dialog, [&] {
              QTest::keyClicks(dialog.MaskEdit1, "1234");
              dialog.BitBtn1->click();
            }),
            "1234");

  EXPECT_EQ(AskWith(dialog, [&] {
              // What was typed last time is selected: typing replaces it.
              EXPECT_EQ(dialog.MaskEdit1->selectedText().trimmed(), QStringLiteral("1234"));
              QTest::keyClicks(dialog.MaskEdit1, "123456");
              dialog.BitBtn1->click();
            }),
            "12345");

  // Shown again: the code is still there and given without typing.
  EXPECT_EQ(AskWith(dialog, [&] { dialog.BitBtn1->click(); }), "12345");
}

TEST(AccessDialog, CancelAndTheCloseButtonGiveNothing) {
  TForm2 dialog;
  EXPECT_EQ(AskWith(dialog, [&] { dialog.BitBtn2->click(); }), std::nullopt);
  EXPECT_EQ(AskWith(dialog, [&] { dialog.close(); }), std::nullopt);
  EXPECT_EQ(ExecWith(dialog, [&] { dialog.BitBtn2->click(); }), TForm2::kCancel);
}

TEST(MessageForm, SizesItselfToTheText) {
  Tadvsm form;
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Драйвер ORVENT"));  // the program's title, not a class name
  const std::pair<QString, std::pair<int, int>> cases[] = {
      {QStringLiteral("Порт уже занят. Смените его."), {280, 104}},
      {QStringLiteral("Порт уже занят!"), {150, 39}},
      {QStringLiteral("Неправильный пароль. В доступе отказано"), {390, 159}},
      {QStringLiteral("Не правильный пароль."), {210, 69}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text.toStdString());
    form.PrepareWarning(text);
    EXPECT_EQ(form.width(), expected.first);
    EXPECT_EQ(form.BitBtn1->x(), expected.second);
    EXPECT_EQ(form.label1->x(), 2);
    EXPECT_EQ(form.label1->width(), expected.first);
    EXPECT_EQ(form.label1->text(), text);
  }
}

TEST(MessageForm, ShowWarningReturnsWhenClosed) {
  Tadvsm form;
  QTimer::singleShot(0, &form, [&] { form.BitBtn1->click(); });
  form.ShowWarning(QStringLiteral("Порт уже занят!"));
  EXPECT_FALSE(form.isVisible());
}

}  // namespace
}  // namespace orvent
