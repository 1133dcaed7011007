#pragma once
// The password window TForm2: asks for the device password (at most 8 characters) and starts
// the update with it. Frameless, on top, centred over the main window; the main window takes
// no input while it is shown.

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QValidator>
#include <QWidget>

namespace appqt {

class TMainWindow;

// Accepts only characters that the device's code page (Windows-1251) has, and no control
// characters: what is typed must go on the wire unchanged.
class TCp1251Validator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

class TForm2 : public QWidget {
  Q_OBJECT
 public:
  // Creating the window shows it (FormCreate).
  explicit TForm2(TMainWindow& owner);

  // 1 after "Ок", 2 after "Отмена", 0 when closed any other way.
  int ModalResult() const { return modalResult_; }

  QLineEdit* TextEdit() const { return uiTextEdit1; }
  QPushButton* OkButton() const { return uiButton1; }
  QPushButton* CancelButton() const { return uiButton2; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void uiButton1Click();
  void uiButton2Click();

  TMainWindow& owner_;
  QLabel* uiLabel1 = nullptr;
  QLineEdit* uiTextEdit1 = nullptr;
  QPushButton* uiButton1 = nullptr;
  QPushButton* uiButton2 = nullptr;
  int modalResult_ = 0;
};

}  // namespace appqt
