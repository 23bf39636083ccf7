#pragma once

#include <QDialog>

class QFont;
class QLabel;
class QPushButton;

namespace orvent {

// The width the message form gives a warning's text: one line while it is
// short, wrapped at about kWarningLineCharacters average characters when it
// is long (a port warning carries its reason), and never narrower than its
// widest word, which cannot be wrapped.
inline constexpr int kWarningLineCharacters = 48;
int WarningTextWidth(const QFont& font, const QString& text);

// The message form: a warning text and an OK button, sized to the text at
// every showing.
class Tadvsm : public QDialog {
  Q_OBJECT

public:
  explicit Tadvsm(QWidget* parent = nullptr);

  // Shows the text modally; returns when the operator has closed the form.
  void ShowWarning(const QString& text);
  // Puts the text in place and sizes the form, without showing it.
  void PrepareWarning(const QString& text);
  // The warning shown last, as it was given (the label's text carries marks
  // that keep device paths on one line).
  const QString& Warning() const { return warning_; }

  QLabel* label1 = nullptr;
  QPushButton* BitBtn1 = nullptr;

private:
  QString warning_;
};

}  // namespace orvent
