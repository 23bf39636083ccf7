#pragma once

#include <QDialog>
#include <optional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace orvent {

// The access dialog: asks for the five-digit close code that the main window
// shows, so that the port is not stopped nor the program closed by accident.
// It only asks; the station judges the code.
class TForm2 : public QDialog {
  Q_OBJECT

public:
  // The dialog's results.
  enum Result { kOk = 1, kCancel = 2 };

  explicit TForm2(QWidget* parent = nullptr);

  // Shows the dialog modally: what was typed, or nullopt when cancelled.
  std::optional<std::string> Ask();

  QLabel* Prompt = nullptr;  // "Введите пароль для доступа"
  QLineEdit* MaskEdit1 = nullptr;
  QPushButton* BitBtn1 = nullptr;  // "ОК"
  QPushButton* BitBtn2 = nullptr;  // "Отмена"

  // The dialog's own close button counts as "Отмена".
  void reject() override;

protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  void BitBtn1Click();
  void FormActivate();
};

}  // namespace orvent
