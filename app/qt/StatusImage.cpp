#include "app/qt/StatusImage.h"

#include <QPainter>

namespace appqt {

namespace {

const char* const kIconFiles[TStatusImage::kIconCount] = {
    ":/icons/error.svg", ":/icons/warning.svg", ":/icons/information.svg",
    ":/icons/not-allowed.svg", ":/icons/success.svg"};

}  // namespace

TStatusImage::TStatusImage(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_TranslucentBackground);
}

void TStatusImage::SetIcon(int index) {
  if (index < -1 || index >= kIconCount || index == icon_) return;
  icon_ = index;
  update();
}

QPixmap TStatusImage::Render(int index, QSize size, qreal ratio) {
  QPixmap pixmap(size * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  if (index < 0 || index >= kIconCount) return pixmap;
  QSvgRenderer renderer{QString::fromLatin1(kIconFiles[index])};
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  // In logical units: the painter scales by the pixmap's ratio.
  renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
  return pixmap;
}

void TStatusImage::paintEvent(QPaintEvent*) {
  if (icon_ < 0) return;
  const qreal ratio = devicePixelRatioF();
  if (drawnIcon_ != icon_ || drawn_.devicePixelRatio() != ratio ||
      drawn_.deviceIndependentSize().toSize() != size()) {
    drawn_ = Render(icon_, size(), ratio);
    drawnIcon_ = icon_;
  }
  QPainter painter(this);
  painter.drawPixmap(QPoint(0, 0), drawn_);
}

}  // namespace appqt
