#include "windows/up_down.h"

#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace korv {

UpDownArrows::UpDownArrows(QLineEdit* buddy, int minimum, int maximum, int step, int position,
                           QWidget* parent)
    : QWidget(parent),
      buddy_(buddy),
      up_(new QToolButton(this)),
      down_(new QToolButton(this)),
      minimum_(minimum),
      maximum_(maximum),
      step_(step),
      position_(position) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (auto* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        layout->addWidget(b);
    }
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    connect(up_, &QToolButton::clicked, this, [this] { stepBy(1); });
    connect(down_, &QToolButton::clicked, this, [this] { stepBy(-1); });
}

void UpDownArrows::stepBy(int steps) {
    // A number typed into the field is where the arrows continue from.
    bool ok = false;
    int typed = buddy_->text().trimmed().toInt(&ok);
    if (ok) position_ = std::clamp(typed, minimum_, maximum_);
    position_ = std::clamp(position_ + steps * step_, minimum_, maximum_);
    buddy_->setText(QString::number(position_));
}

}  // namespace korv
