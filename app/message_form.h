#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace orvent {

// Where the message form puts a warning of `length` characters, with the
// text's font size in points.
struct WarningLayout {
  int form_width;
  int label_left;
  int label_width;
  int button_left;
};
WarningLayout WarningLayoutFor(int length, int font_points = 12);

// The message form: one line of warning text and an OK button, sized to the
// text at every showing.
class Tadvsm : public QDialog {
  Q_OBJECT

public:
  explicit Tadvsm(QWidget* parent = nullptr);

  // Shows the text modally; returns when the operator has closed the form.
  void ShowWarning(const QString& text);
  // Puts the text in place and sizes the form, without showing it.
  void PrepareWarning(const QString& text);

  QLabel* label1 = nullptr;
  QPushButton* BitBtn1 = nullptr;
};

}  // namespace orvent
