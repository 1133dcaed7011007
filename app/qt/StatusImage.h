#pragma once
// uiImage1: the status icon of the main window, one of the image list's pictures. The
// pictures are SVG and are drawn at the device-pixel ratio of the screen the window is on
// when it paints (a scaled desktop, a window moved to another screen), so that the icon is as
// sharp as the text beside it; the drawing is kept until the icon, the size or the ratio
// changes.

#include <QPixmap>
#include <QSvgRenderer>
#include <QWidget>
#include <array>
#include <memory>

namespace appqt {

class TStatusImage : public QWidget {
  Q_OBJECT
 public:
  explicit TStatusImage(QWidget* parent);

  // The image-list index shown (0 to 4), or -1 for none.
  int Icon() const { return icon_; }
  void SetIcon(int index);

  // Picture n of the image list drawn for a logical size at a device-pixel ratio.
  static QPixmap Render(int index, QSize size, qreal ratio);
  static constexpr int kIconCount = 5;

  // The drawing of the last paint (for tests: its ratio and size in device pixels).
  const QPixmap& Drawn() const { return drawn_; }
  int DrawnIcon() const { return drawnIcon_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int icon_ = -1;
  QPixmap drawn_;
  int drawnIcon_ = -1;
};

}  // namespace appqt
