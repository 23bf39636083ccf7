#include "app/access_dialog.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace orvent {

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Закрытый доступ"));
  setFixedSize(281, 93);

  auto* label = new QLabel(QStringLiteral("Введите пароль для доступа"), this);
  QFont bold = label->font();
  bold.setBold(true);
  bold.setPixelSize(16);
  label->setFont(bold);
  label->move(48, 8);
  label->adjustSize();

  MaskEdit1 = new QLineEdit(this);
  MaskEdit1->setObjectName(QStringLiteral("MaskEdit1"));
  // Up to five digits, blanks where none was typed; shown as stars.
  MaskEdit1->setInputMask(QStringLiteral("99999; "));
  MaskEdit1->setEchoMode(QLineEdit::Password);
  MaskEdit1->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
  MaskEdit1->setGeometry(120, 33, 49, MaskEdit1->sizeHint().height());

  BitBtn2 = new QPushButton(QStringLiteral("Отмена"), this);
  BitBtn2->setGeometry(145, 58, 72, 25);
  BitBtn1 = new QPushButton(QStringLiteral("ОК"), this);
  BitBtn1->setGeometry(67, 58, 72, 25);
  BitBtn1->setDefault(true);

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
