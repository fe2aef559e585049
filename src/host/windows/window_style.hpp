#pragma once

class QLabel;
class QWidget;

// The few text styles the windows share: type sizes and the dimmed secondary colour.
namespace kelvo::style {

void title(QLabel* label);     // large and bold: a window's heading
void headline(QLabel* label);  // bold body size: headings and step titles
void secondary(QLabel* label); // dimmed body text
void caption(QLabel* label);   // small and dimmed
// A fixed-pitch font `points` smaller than the body's (0: body size).
void monospaced(QWidget* widget, int smaller = 0);

}  // namespace kelvo::style
