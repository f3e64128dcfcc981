#include "gui/pictures.h"

#include <QPainter>
#include <QSvgRenderer>

namespace gui {

namespace {

QString resource_of(int id)
{
    switch (id) {
    case 101:
        return QStringLiteral(":/pictures/icon101.svg");
    case 129:
        return QStringLiteral(":/pictures/new129.svg");
    case 130:
        return QStringLiteral(":/pictures/import130.svg");
    case 134:
        return QStringLiteral(":/pictures/settings134.svg");
    case 140:
        return QStringLiteral(":/pictures/safe_closed140.svg");
    case 141:
        return QStringLiteral(":/pictures/safe_open141.svg");
    case 149:
        return QStringLiteral(":/pictures/product149.svg");
    default:
        return {};
    }
}

} // namespace

QImage LoadBitmap(int id, QSize size)
{
    const QString path = resource_of(id);
    if (path.isEmpty())
        return {};
    QSvgRenderer renderer(path);
    if (!renderer.isValid())
        return {};
    if (size.isEmpty())
        size = renderer.defaultSize();
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    return image;
}

QIcon LoadIcon(int id)
{
    QIcon icon;
    for (int edge : {16, 24, 32, 40, 48, 64}) {
        const QImage image = LoadBitmap(id, QSize(edge, edge));
        if (image.isNull())
            return {};
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

} // namespace gui
