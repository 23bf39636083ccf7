#include "app/message_form.h"

#include <QLabel>
#include <QPushButton>

namespace orvent {
namespace {

constexpr int kFontPoints = 12;
constexpr int kButtonWidth = 72;
constexpr int kDesignHeight = 73;

}  // namespace

WarningLayout WarningLayoutFor(int length, int font_points) {
  const int width = length * (font_points - 2);
  return {width, 2, width, (width - kButtonWidth) / 2};
}

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent) {
  // The program's own title: the form's class name means nothing to an operator.
  setWindowTitle(QStringLiteral("Драйвер ORVENT"));
  resize(298, kDesignHeight);

  label1 = new QLabel(this);
  label1->setObjectName(QStringLiteral("label1"));
  QFont bold = label1->font();
  bold.setBold(true);
  bold.setPointSize(kFontPoints);
  label1->setFont(bold);
  label1->setAlignment(Qt::AlignCenter);
  label1->setGeometry(8, 16, 290, 20);

  BitBtn1 = new QPushButton(QStringLiteral("ОК"), this);
  BitBtn1->setGeometry(115, 41, kButtonWidth, 25);
  connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);
}

void Tadvsm::PrepareWarning(const QString& text) {
  const WarningLayout layout = WarningLayoutFor(static_cast<int>(text.length()), label1->font().pointSize());
  label1->setText(text);
  setFixedSize(layout.form_width, kDesignHeight);
  label1->setGeometry(layout.label_left, label1->y(), layout.label_width, label1->height());
  label1->update();
  BitBtn1->move(layout.button_left, BitBtn1->y());
}

void Tadvsm::ShowWarning(const QString& text) {
  PrepareWarning(text);
  exec();
}

}  // namespace orvent
