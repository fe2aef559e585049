#include "host/windows/window_style.hpp"

#include <QFontDatabase>
#include <QLabel>

namespace kelvo::style {

namespace {

void dim(QLabel* label) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, p.color(QPalette::PlaceholderText));
    label->setPalette(p);
}

void resize(QWidget* widget, double factor, bool bold) {
    QFont f = widget->font();
    if (f.pointSizeF() > 0) f.setPointSizeF(f.pointSizeF() * factor);
    f.setBold(bold);
    widget->setFont(f);
}

}  // namespace

void title(QLabel* label) { resize(label, 1.5, true); }
void headline(QLabel* label) { resize(label, 1.0, true); }
void secondary(QLabel* label) { dim(label); }

void caption(QLabel* label) {
    resize(label, 0.85, false);
    dim(label);
}

void monospaced(QWidget* widget, int smaller) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (smaller > 0 && f.pointSize() > smaller + 5) f.setPointSize(f.pointSize() - smaller);
    widget->setFont(f);
}

}  // namespace kelvo::style
