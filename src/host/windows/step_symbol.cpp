#include "host/windows/step_symbol.hpp"

#include <QPainter>
#include <QPainterPath>

namespace kelvo {

StepSymbol::StepSymbol(int number, QWidget* parent) : QWidget(parent), number_(number) {
    setFixedSize(sizeHint());
}

void StepSymbol::setDone(bool done) {
    if (done_ == done) return;
    done_ = done;
    update();
}

QSize StepSymbol::sizeHint() const {
    int side = fontMetrics().height() * 3 / 2 + 4;
    return {side, side};
}

void StepSymbol::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF box = QRectF(rect()).adjusted(2, 2, -2, -2);
    if (done_) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(52, 199, 89));
        p.drawEllipse(box);
        QPainterPath tick;
        tick.moveTo(box.left() + box.width() * 0.27, box.top() + box.height() * 0.52);
        tick.lineTo(box.left() + box.width() * 0.43, box.top() + box.height() * 0.68);
        tick.lineTo(box.left() + box.width() * 0.74, box.top() + box.height() * 0.35);
        p.setPen(QPen(Qt::white, box.width() * 0.11, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(tick);
        return;
    }
    QColor secondary = palette().color(QPalette::PlaceholderText);
    p.setPen(QPen(secondary, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(box);
    QFont f = font();
    f.setBold(true);
    f.setPixelSize(static_cast<int>(box.height() * 0.6));
    p.setFont(f);
    p.drawText(box, Qt::AlignCenter, QString::number(number_));
}

}  // namespace kelvo
