#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <algorithm>

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
              EXPECT_EQ(dialog.MaskEdit1->selectedText(), QStringLiteral("1234"));
              QTest::keyClicks(dialog.MaskEdit1, "123456");
              dialog.BitBtn1->click();
            }),
            "12345");

  // Shown again: the code is still there and given without typing.
  EXPECT_EQ(AskWith(dialog, [&] { dialog.BitBtn1->click(); }), "12345");
}

// The width the line edit gives its text, inside its frame and margins.
int TextRoom(const QLineEdit& field) {
  QStyleOptionFrame option;
  option.initFrom(&field);
  option.lineWidth = field.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, &field);
  const QRect contents = field.style()->subElementRect(QStyle::SE_LineEditContents, &option, &field);
  const QMargins margins = field.textMargins();
  return contents.width() - margins.left() - margins.right() - 4;  // QLineEdit's own 2 pixels a side
}

TEST(AccessDialog, AnEmptyFieldIsEmptyAndEveryTextFits) {
  TForm2 dialog;
  QString shown_empty;
  bool selected_empty = true;
  EXPECT_EQ(AskWith(dialog, [&] {
              shown_empty = dialog.MaskEdit1->displayText();
              selected_empty = dialog.MaskEdit1->hasSelectedText();
              QTest::keyClicks(dialog.MaskEdit1, "54321");
              dialog.BitBtn1->click();
            }),
            "54321");
  EXPECT_EQ(shown_empty, QString()) << "no stars for a code never typed";
  EXPECT_FALSE(selected_empty);

  // The prompt is shown whole, and five stars fit the field without scrolling.
  const QLabel& prompt = *dialog.Prompt;
  EXPECT_EQ(prompt.text(), QStringLiteral("Введите пароль для доступа"));
  EXPECT_GE(prompt.width(), prompt.fontMetrics().horizontalAdvance(prompt.text()));
  const QLineEdit& field = *dialog.MaskEdit1;
  EXPECT_EQ(field.displayText(), QStringLiteral("*****"));
  EXPECT_GE(TextRoom(field), field.fontMetrics().horizontalAdvance(field.displayText()));
  for (const QWidget* widget : std::initializer_list<const QWidget*>{&prompt, &field, dialog.BitBtn1, dialog.BitBtn2}) {
    EXPECT_TRUE(dialog.rect().contains(widget->geometry())) << widget->metaObject()->className();
    EXPECT_GE(widget->width(), widget->minimumSizeHint().width()) << widget->metaObject()->className();
  }
}

TEST(AccessDialog, CancelAndTheCloseButtonGiveNothing) {
  TForm2 dialog;
  EXPECT_EQ(AskWith(dialog, [&] { dialog.BitBtn2->click(); }), std::nullopt);
  EXPECT_EQ(AskWith(dialog, [&] { dialog.close(); }), std::nullopt);
  EXPECT_EQ(ExecWith(dialog, [&] { dialog.BitBtn2->click(); }), TForm2::kCancel);
}

// The lines a word-wrapped label draws its text in, as QPainter lays them out.
struct WrappedText {
  QStringList lines;
  double widest = 0;  // the widest line's width
  double height = 0;
};
WrappedText Wrap(const QLabel& label) {
  WrappedText wrapped;
  QTextLayout layout(label.text(), label.font());
  QTextOption option(label.alignment());
  option.setWrapMode(QTextOption::WordWrap);
  layout.setTextOption(option);
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(label.contentsRect().width());
    wrapped.lines << label.text().mid(line.textStart(), line.textLength());
    wrapped.widest = std::max(wrapped.widest, line.naturalTextWidth());
    wrapped.height += line.height();
  }
  layout.endLayout();
  return wrapped;
}

// Every warning is shown whole: wrapped at blanks only where it is long (a
// device path stays on one line), each line within the label, the label and
// the button within the form.
TEST(MessageForm, HoldsItsTextWhateverItsLength) {
  Tadvsm form;
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Драйвер ORVENT"));  // the program's title, not a class name
  const std::pair<QString, int> cases[] = {  // the text, and the most lines it may take
      {QStringLiteral("Порт уже занят!"), 1},
      {QStringLiteral("Порт уже занят. Смените его."), 1},
      {QStringLiteral("Неправильный пароль. В доступе отказано"), 1},
      {QStringLiteral("Порт уже занят. Смените его. Порт /dev/ttyUSB0: нет прав на устройство - пользователь не "
                      "входит в группу dialout."),
       3},
      {QStringLiteral("Порт уже занят. Смените его. Порт "
                      "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0: занят другой программой."),
       3},
  };
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  for (const auto& [text, most_lines] : cases) {
    SCOPED_TRACE(text.toStdString());
    form.PrepareWarning(text);
    EXPECT_EQ(form.Warning(), text);
    const QLabel& label = *form.label1;
    const WrappedText wrapped = Wrap(label);
    EXPECT_EQ(wrapped.lines.join(QString()).remove(QChar(0x2060)), text) << "all of it drawn";
    EXPECT_LE(wrapped.lines.size(), most_lines);
    for (qsizetype i = 0; i + 1 < wrapped.lines.size(); ++i) {
      EXPECT_TRUE(wrapped.lines[i].endsWith(QLatin1Char(' '))) << "a word broken: " << wrapped.lines[i].toStdString();
    }
    EXPECT_LE(wrapped.widest, label.contentsRect().width()) << wrapped.lines.join(QLatin1Char('|')).toStdString();
    EXPECT_LE(wrapped.height, label.contentsRect().height());
    EXPECT_TRUE(form.rect().contains(label.geometry()));
    EXPECT_TRUE(form.rect().contains(form.BitBtn1->geometry()));
    EXPECT_GT(form.BitBtn1->y(), label.geometry().bottom()) << "the button under the text";
    EXPECT_LE(form.width(), screen.width());
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
