// A row of tabs over one shared display area whose contents the owner shows and hides
// itself (the panels are plain children of this widget, not pages).
#pragma once

#include <QStringList>
#include <QWidget>

class QTabBar;

namespace ktr {

class TabControl : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QStringList tabs READ Tabs WRITE SetTabs)
public:
    explicit TabControl(QWidget* parent = nullptr);

    QStringList Tabs() const;
    void SetTabs(const QStringList& tabs);
    int TabIndex() const; // -1: none selected
    void SetTabIndex(int index);
    // The area inside the tabs and the frame, in this widget's coordinates.
    QRect DisplayRect() const;
    QTabBar* Bar() const { return bar_; }

signals:
    void Change(); // the selected tab changed

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QTabBar* bar_;
};

} // namespace ktr
