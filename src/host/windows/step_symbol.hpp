#pragma once

#include <QWidget>

namespace kelvo {

// A step's symbol: its number in a circle (secondary colour), or a green check mark once done.
class StepSymbol : public QWidget {
public:
    StepSymbol(int number, QWidget* parent = nullptr);
    void setDone(bool done);
    bool done() const { return done_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    int number_;
    bool done_ = false;
};

}  // namespace kelvo
