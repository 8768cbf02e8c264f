#pragma once
// Up-down arrows attached to a one-line field: they step the number in the field within a range,
// while the field itself still takes any typed text.
#include <QWidget>

class QLineEdit;
class QToolButton;

namespace korv {

class UpDownArrows : public QWidget {
    Q_OBJECT
  public:
    UpDownArrows(QLineEdit* buddy, int minimum, int maximum, int step, int position,
                 QWidget* parent);
    int position() const { return position_; }
    void stepBy(int steps);
    QToolButton* upButton() const { return up_; }
    QToolButton* downButton() const { return down_; }

  private:
    QLineEdit* buddy_;
    QToolButton* up_;
    QToolButton* down_;
    int minimum_, maximum_, step_, position_;
};

}  // namespace korv
