#include "app/message_form.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/text_width.h"
#include "station/station_view.h"

namespace orvent {
namespace {

constexpr int kFontPoints = 12;
// A height that no warning reaches, for measuring one.
constexpr int kUnbounded = 100000;
// An invisible character that forbids a line break beside it.
constexpr char16_t kWordJoiner = u'\u2060';

// The text with a word joiner after every slash, and after every hyphen
// within a word, so that a device path ("/dev/ttyUSB0", "usb-FTDI-...") is
// never broken over two lines; blanks stay the only places to wrap.
QString KeepWordsWhole(const QString& text) {
  QString kept;
  kept.reserve(text.size() + text.size() / 4);
  for (qsizetype i = 0; i < text.size(); ++i) {
    kept += text[i];
    const bool within_word = i + 1 < text.size() && !text[i + 1].isSpace();
    if (within_word && (text[i] == QLatin1Char('/') || text[i] == QLatin1Char('-'))) kept += QChar(kWordJoiner);
  }
  return kept;
}

}  // namespace

int WarningTextWidth(const QFont& font, const QString& text) {
  const int one_line = TextWidth(font, text);
  int width = std::min(one_line, kWarningLineCharacters * QFontMetrics(font).averageCharWidth());
  // A word longer than a line (a device path) widens the text to itself; the
  // text may then wrap elsewhere, so it is laid out again.
  for (int needed = TextWidth(font, text, width); needed > width && width < one_line;
       needed = TextWidth(font, text, width)) {
    width = needed;
  }
  return width;
}

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent) {
  // The program's own title: the form's class name means nothing to an operator.
  setWindowTitle(QString::fromUtf8(kWindowTitle));

  label1 = new QLabel(this);
  label1->setObjectName(QStringLiteral("label1"));
  QFont bold = label1->font();
  bold.setBold(true);
  bold.setPointSize(kFontPoints);
  label1->setFont(bold);
  label1->setAlignment(Qt::AlignCenter);
  label1->setWordWrap(true);

  BitBtn1 = new QPushButton(QString::fromUtf8(kButtonOk), this);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->setContentsMargins(16, 16, 16, 12);
  layout->setSpacing(12);
  layout->addWidget(label1);
  layout->addWidget(BitBtn1, 0, Qt::AlignHCenter);
}

void Tadvsm::PrepareWarning(const QString& text) {
  warning_ = text;
  const QString shown = KeepWordsWhole(text);
  label1->setText(shown);
  // A wrapped label has no height of its own until its width is fixed: it
  // gets the height its text takes when drawn wrapped at that width.
  const QFontMetrics metrics = label1->fontMetrics();
  const int width = WarningTextWidth(label1->font(), shown);
  const int height = metrics.boundingRect(QRect(0, 0, width, kUnbounded), label1->alignment() | Qt::TextWordWrap, shown)
                         .height();
  const QMargins margins = label1->contentsMargins();
  label1->setFixedSize(width + margins.left() + margins.right(), height + margins.top() + margins.bottom());
  layout()->activate();
}

void Tadvsm::ShowWarning(const QString& text) {
  PrepareWarning(text);
  exec();
}

}  // namespace orvent
