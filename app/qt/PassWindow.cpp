#include "app/qt/PassWindow.h"

#include <QCloseEvent>

#include "app/Cp1251.h"
#include "app/qt/MainWindow.h"

namespace appqt {

QValidator::State TCp1251Validator::validate(QString& input, int&) const {
  for (QChar c : input) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) return Invalid;
    if (!app::Cp1251Byte(c.unicode())) return Invalid;
  }
  return Acceptable;
}

TForm2::TForm2(TMainWindow& owner)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      owner_(owner) {
  setObjectName(QStringLiteral("TForm2"));
  setWindowTitle(tr("Пароль"));
  setFont(TMainWindow::DesignFont());
  setFixedSize(193, 85);

  uiLabel1 = new QLabel(tr("Пароль:"), this);
  uiLabel1->setObjectName(QStringLiteral("uiLabel1"));
  uiLabel1->move(16, 16);
  uiLabel1->adjustSize();

  uiTextEdit1 = new QLineEdit(this);
  uiTextEdit1->setObjectName(QStringLiteral("uiTextEdit1"));
  uiTextEdit1->setGeometry(83, 15, 89, 21);
  uiTextEdit1->setEchoMode(QLineEdit::Password);
  uiTextEdit1->setMaxLength(8);
  uiTextEdit1->setValidator(new TCp1251Validator(uiTextEdit1));

  // Neither button is a default or cancel button: Enter and Escape do nothing special.
  uiButton1 = new QPushButton(tr("Ок"), this);
  uiButton1->setObjectName(QStringLiteral("uiButton1"));
  uiButton1->setGeometry(16, 48, 75, 20);
  uiButton1->setAutoDefault(false);
  uiButton2 = new QPushButton(tr("Отмена"), this);
  uiButton2->setObjectName(QStringLiteral("uiButton2"));
  uiButton2->setGeometry(97, 48, 75, 20);
  uiButton2->setAutoDefault(false);
  setTabOrder(uiTextEdit1, uiButton1);
  setTabOrder(uiButton1, uiButton2);

  connect(uiButton1, &QPushButton::clicked, this, [this] {
    modalResult_ = 1;
    uiButton1Click();
  });
  connect(uiButton2, &QPushButton::clicked, this, [this] {
    modalResult_ = 2;
    uiButton2Click();
  });

  // Centred over the main window.
  const QRect main = owner_.frameGeometry();
  move(main.center() - QPoint(width() / 2, height() / 2));

  show();
  uiTextEdit1->setFocus();
}

void TForm2::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  owner_.Form().SetEnabled(false);
}

void TForm2::uiButton1Click() {
  owner_.Form().SetPassword(uiTextEdit1->text().toStdString());
  close();
}

void TForm2::uiButton2Click() { close(); }

void TForm2::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  owner_.Form().SetEnabled(true);
  if (modalResult_ == 1) owner_.Form().StartUpdate();
}

}  // namespace appqt
