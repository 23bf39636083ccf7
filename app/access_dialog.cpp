#include "app/access_dialog.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QVBoxLayout>
#include <algorithm>

#include "station/station_view.h"

namespace orvent {
namespace {

constexpr int kCodeDigits = 5;
constexpr int kPromptPixels = 16;

// A line edit just wide enough for `characters` of its widest digit or star,
// with room for the cursor.
int CodeFieldWidth(const QLineEdit& field, int characters) {
  const QFontMetrics metrics = field.fontMetrics();
  const int glyph = std::max(metrics.horizontalAdvance(QLatin1Char('0')), metrics.horizontalAdvance(QLatin1Char('*')));
  const QMargins margins = field.textMargins();
  QStyleOptionFrame option;
  option.initFrom(&field);
  option.lineWidth = field.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, &field);
  // QLineEdit keeps 2 pixels inside its frame on either side of the text.
  const QSize text((characters + 1) * glyph + margins.left() + margins.right() + 4, metrics.height());
  return field.style()->sizeFromContents(QStyle::CT_LineEdit, &option, text, &field).width();
}

}  // namespace

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kAccessTitle));

  Prompt = new QLabel(QString::fromUtf8(kAccessPrompt), this);
  QFont bold = Prompt->font();
  bold.setBold(true);
  bold.setPixelSize(kPromptPixels);
  Prompt->setFont(bold);
  Prompt->setAlignment(Qt::AlignCenter);

  MaskEdit1 = new QLineEdit(this);
  MaskEdit1->setObjectName(QStringLiteral("MaskEdit1"));
  // Up to five digits, shown as stars. No input mask: a mask would fill an
  // empty field with blanks, which show as five stars of a code never typed.
  MaskEdit1->setMaxLength(kCodeDigits);
  const QRegularExpression digits(QStringLiteral("[0-9]{0,%1}").arg(kCodeDigits));
  MaskEdit1->setValidator(new QRegularExpressionValidator(digits, MaskEdit1));
  MaskEdit1->setEchoMode(QLineEdit::Password);
  MaskEdit1->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
  MaskEdit1->setAlignment(Qt::AlignCenter);
  MaskEdit1->setFixedWidth(CodeFieldWidth(*MaskEdit1, kCodeDigits));

  BitBtn1 = new QPushButton(QString::fromUtf8(kButtonOk), this);
  BitBtn1->setDefault(true);
  BitBtn2 = new QPushButton(QString::fromUtf8(kButtonCancel), this);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(BitBtn1);
  buttons->addWidget(BitBtn2);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  // The dialog is as large as its prompt, field and buttons need, and no larger.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->setContentsMargins(16, 12, 16, 12);
  layout->setSpacing(10);
  layout->addWidget(Prompt);
  layout->addWidget(MaskEdit1, 0, Qt::AlignHCenter);
  layout->addLayout(buttons);

  setTabOrder(MaskEdit1, BitBtn2);
  setTabOrder(BitBtn2, BitBtn1);

  connect(BitBtn1, &QPushButton::clicked, this, &TForm2::BitBtn1Click);
  connect(BitBtn2, &QPushButton::clicked, this, &TForm2::reject);
}

void TForm2::reject() { done(kCancel); }

void TForm2::BitBtn1Click() { done(kOk); }

std::optional<std::string> TForm2::Ask() {
  if (exec() != kOk) return std::nullopt;
  return MaskEdit1->text().toStdString();
}

void TForm2::FormActivate() {
  // The field keeps what was typed last time: selected, so typing replaces it.
  MaskEdit1->selectAll();
  MaskEdit1->setFocus();
  MaskEdit1->update();
}

void TForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormActivate();
}

void TForm2::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

}  // namespace orvent
