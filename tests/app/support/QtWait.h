#pragma once
// Waiting in the window tests: Qt's events (and with them the platform's main-thread queue)
// are processed while a condition is awaited, and message boxes can be found and closed.

#include <QMessageBox>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace apptest {

// Processes Qt's events until cond() holds or timeoutMs pass; true when it holds.
bool QtWaitUntil(const std::function<bool()>& cond, uint32_t timeoutMs = 15000);

// The open message box, if any.
QMessageBox* FindMessageBox();

struct TSeenBox {
  QString Title;
  QString Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
};

// Closes every message box that opens while it exists (with its OK button), recording it;
// a hook may run while the box is still open.
class TBoxCloser {
 public:
  explicit TBoxCloser(std::function<void(const TSeenBox&)> whileOpen = nullptr);
  ~TBoxCloser();
  const std::vector<TSeenBox>& Seen() const { return seen_; }
  // Boxes are only closed while this is true.
  void SetClosing(bool value) { closing_ = value; }

 private:
  void Poll();
  std::function<void(const TSeenBox&)> whileOpen_;
  std::vector<TSeenBox> seen_;
  bool closing_ = true;
  class QTimer* timer_;
};

// Saves the widget's picture as <build>/screenshots/<name>.png.
void SaveScreenshot(QWidget* widget, const std::string& name);

}  // namespace apptest
