#include "ToolbarIcons.h"

#include "HostView.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>

namespace ktr {

namespace {

// Every picture is drawn on a 16 x 16 grid and scaled to whatever size is asked for.
constexpr qreal kGrid = 16.0;

const QColor kOpenGreen(0x1f, 0x9d, 0x3a);
const QColor kClosedRed(0xd0, 0x2b, 0x2b);
const QColor kIdleGrey(0x9a, 0x9a, 0x9a);
const QColor kOutline(0x30, 0x30, 0x30);

// A plug: a body with two prongs pointing right, its left edge at x.
void DrawPlug(QPainter& p, qreal x, const QColor& fill) {
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(x, 5, 4.5, 6), 1, 1);
    p.drawRect(QRectF(x + 4.5, 6.2, 2.5, 1.2));
    p.drawRect(QRectF(x + 4.5, 8.6, 2.5, 1.2));
    p.drawLine(QPointF(0.5, 8), QPointF(x, 8)); // its cable
}

// A socket: a body with a notch facing left, its right edge at x.
void DrawSocket(QPainter& p, qreal x, const QColor& fill) {
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(x - 4.5, 5, 4.5, 6), 1, 1);
    p.drawLine(QPointF(x, 8), QPointF(15.5, 8));
}

void DrawConnect(QPainter& p, bool open) {
    const QColor fill = open ? kOpenGreen : kIdleGrey;
    if (open) {
        DrawPlug(p, 3, fill);
        DrawSocket(p, 14.5, fill); // the prongs disappear into the socket
    } else {
        DrawPlug(p, 1, fill);
        DrawSocket(p, 15, fill);
        // A red spark gap between the halves says "not connected".
        p.setPen(QPen(kClosedRed, 1.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(9.6, 3), QPointF(9.6, 13));
    }
}

void DrawDisconnect(QPainter& p, bool active) {
    const QColor fill = active ? kClosedRed : kIdleGrey;
    p.setBrush(fill);
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(5.2, 5.2), QPointF(10.8, 10.8));
    p.drawLine(QPointF(10.8, 5.2), QPointF(5.2, 10.8));
}

class ToolbarIconEngine final : public QIconEngine {
public:
    explicit ToolbarIconEngine(int imageIndex) : index_(imageIndex) {}
    QIconEngine* clone() const override { return new ToolbarIconEngine(index_); }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->translate(rect.topLeft());
        painter->scale(rect.width() / kGrid, rect.height() / kGrid);
        if (mode == QIcon::Disabled) painter->setOpacity(0.45);
        painter->setPen(QPen(kOutline, 0.8));
        switch (index_) {
        case kImageConnectClosed:
            DrawConnect(*painter, false);
            break;
        case kImageConnectOpen:
            DrawConnect(*painter, true);
            break;
        case kImageDisconnectOpen:
            DrawDisconnect(*painter, true);
            break;
        case kImageDisconnectClosed:
            DrawDisconnect(*painter, false);
            break;
        }
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    // size is already in device pixels: a 2x screen gets a 32 x 32 drawing, not a blown-up 16.
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        {
            QPainter p(&pm);
            paint(&p, QRect(QPoint(0, 0), size), mode, state);
        }
        pm.setDevicePixelRatio(scale);
        return pm;
    }

private:
    int index_;
};

} // namespace

QIcon ToolbarIcon(int imageIndex) {
    if (imageIndex < kImageConnectClosed || imageIndex > kImageDisconnectClosed) return {};
    return QIcon(new ToolbarIconEngine(imageIndex));
}

} // namespace ktr
