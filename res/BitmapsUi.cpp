#include "res/BitmapsUi.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "res/Templates.h"

namespace {

// Strip of four 16x16 images on white (white is the mask colour): a plain white bar,
// a plug, two linked computers, a green dot.
QPixmap ConnectionImages() {
    QPixmap strip(64, 16);
    strip.fill(Qt::white);
    QPainter p(&strip);
    // 0: plain white bar with a thin grey outline so it is visible on white rows.
    p.setPen(QColor(160, 160, 160));
    p.setBrush(QColor(254, 254, 254));
    p.drawRect(1, 6, 13, 4);
    // 1: plug: body, two prongs and a cable.
    p.setPen(Qt::black);
    p.setBrush(QColor(128, 128, 128));
    p.drawRect(16 + 3, 5, 6, 7);
    p.drawLine(16 + 9, 7, 16 + 13, 7);
    p.drawLine(16 + 9, 10, 16 + 13, 10);
    p.drawLine(16 + 0, 8, 16 + 3, 8);
    // 2: two computers joined by a line.
    auto computer = [&p](int x, int y) {
        p.setPen(Qt::black);
        p.setBrush(QColor(0, 0, 128));
        p.drawRect(x, y, 5, 4);
        p.drawLine(x + 2, y + 5, x + 2, y + 6);
        p.drawLine(x, y + 6, x + 5, y + 6);
    };
    computer(32 + 1, 2);
    computer(32 + 9, 7);
    p.setPen(QColor(0, 128, 0));
    p.drawLine(32 + 4, 9, 32 + 10, 4);
    // 3: green dot.
    p.setPen(QColor(0, 100, 0));
    p.setBrush(QColor(0, 200, 0));
    p.drawEllipse(48 + 3, 3, 9, 9);
    return strip;
}

QPixmap MainIcon(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;
    QLinearGradient g(0, 0, 0, size);
    g.setColorAt(0, QColor(40, 120, 220));
    g.setColorAt(1, QColor(10, 50, 130));
    p.setBrush(g);
    p.setPen(QPen(QColor(5, 30, 80), 1.5 * s));
    p.drawEllipse(QRectF(2 * s, 2 * s, 28 * s, 28 * s));
    // An eye-like sweep: the watcher.
    p.setPen(QPen(Qt::white, 2.5 * s));
    p.setBrush(Qt::NoBrush);
    QPainterPath eye;
    eye.moveTo(6 * s, 16 * s);
    eye.quadTo(16 * s, 6 * s, 26 * s, 16 * s);
    eye.quadTo(16 * s, 26 * s, 6 * s, 16 * s);
    p.drawPath(eye);
    p.setBrush(QColor(0, 220, 90));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(16 * s, 16 * s), 4 * s, 4 * s);
    return pm;
}

QPixmap Banner(int w, int h, const QString& text, const QColor& from, const QColor& to) {
    QPixmap pm(w, h);
    QPainter p(&pm);
    QLinearGradient g(0, 0, w, 0);
    g.setColorAt(0, from);
    g.setColorAt(1, to);
    p.fillRect(pm.rect(), g);
    p.setPen(Qt::white);
    QFont f;
    f.setPixelSize(h / 2 > 10 ? h / 2 : 10);
    f.setBold(true);
    p.setFont(f);
    p.drawText(pm.rect(), Qt::AlignCenter, text);
    return pm;
}

}  // namespace

QPixmap LoadBitmapResource(int id) {
    switch (id) {
    case IDB_CONN_IMAGES: return ConnectionImages();
    case IDB_ABOUT_PICTURE: {
        QPixmap pm = Banner(226, 114, QStringLiteral("Tolvara"), QColor(10, 50, 130), QColor(40, 140, 220));
        QPainter p(&pm);
        p.drawPixmap(8, 8, MainIcon(32));
        return pm;
    }
    case IDB_AD_PICTURE: return Banner(178, 31, QStringLiteral("network watch"), QColor(60, 60, 60), QColor(140, 140, 140));
    default: return QPixmap();
    }
}

QIcon LoadIconResource(int id) {
    if (id != IDI_MAINFRAME) return QIcon();
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(MainIcon(size));
    return icon;
}
