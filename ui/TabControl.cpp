#include "TabControl.h"

#include <QPainter>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>

namespace ktr {

namespace {
constexpr int kFrameWidth = 2;
constexpr int kBarLeft = 2;
} // namespace

TabControl::TabControl(QWidget* parent) : QWidget(parent), bar_(new QTabBar(this)) {
    bar_->setDrawBase(false);
    bar_->setExpanding(false);
    bar_->move(kBarLeft, 0);
    connect(bar_, &QTabBar::currentChanged, this, &TabControl::Change);
}

QStringList TabControl::Tabs() const {
    QStringList tabs;
    for (int i = 0; i < bar_->count(); ++i)
        tabs << bar_->tabText(i);
    return tabs;
}

void TabControl::SetTabs(const QStringList& tabs) {
    const QSignalBlocker quiet(bar_);
    while (bar_->count() > 0)
        bar_->removeTab(0);
    for (const QString& text : tabs)
        bar_->addTab(text);
    bar_->resize(bar_->sizeHint());
}

int TabControl::TabIndex() const {
    return bar_->currentIndex();
}

void TabControl::SetTabIndex(int index) {
    bar_->setCurrentIndex(index);
}

QRect TabControl::DisplayRect() const {
    const int top = bar_->sizeHint().height();
    return QRect(0, top, width(), height() - top)
        .adjusted(kFrameWidth, kFrameWidth, -kFrameWidth, -kFrameWidth);
}

void TabControl::resizeEvent(QResizeEvent*) {
    bar_->resize(std::min(bar_->sizeHint().width(), width() - kBarLeft), bar_->sizeHint().height());
}

void TabControl::paintEvent(QPaintEvent*) {
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(this);
    frame.rect = DisplayRect().adjusted(-kFrameWidth, -kFrameWidth, kFrameWidth, kFrameWidth);
    frame.shape = QTabBar::RoundedNorth;
    frame.tabBarSize = bar_->size();
    frame.tabBarRect = bar_->geometry();
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_FrameTabWidget, &frame, &painter, this);
}

} // namespace ktr
