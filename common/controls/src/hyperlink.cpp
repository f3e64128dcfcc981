#include "controls/hyperlink.h"

#include "shellapi.h"
#include "winuser.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTimerEvent>

#include <cstdio>

namespace {

CHyperLink::ErrorReporter& reporter()
{
    static CHyperLink::ErrorReporter instance = [](QWidget*, const std::u16string& message) {
        std::fprintf(stderr, "%s\n", QString::fromStdU16String(message).toUtf8().constData());
    };
    return instance;
}

} // namespace

CHyperLink::CHyperLink(QWidget* parent) : QLabel(parent)
{
    setMouseTracking(true);
    setCursor(Qt::PointingHandCursor);
    setTextFormat(Qt::PlainText);
    normal_ = font();
    underlined_ = font();
    underlined_.setUnderline(true);
}

CHyperLink* CHyperLink::TakeOver(QLabel* label, const QString& url)
{
    QWidget* parent = label->parentWidget();
    auto* link = new CHyperLink(parent);
    link->setObjectName(label->objectName());
    link->setGeometry(label->geometry());
    link->setFont(label->font());
    link->setAlignment(label->alignment());
    link->normal_ = label->font();
    link->underlined_ = label->font();
    link->underlined_.setUnderline(true);
    link->url_ = url.isEmpty() ? label->text() : url;
    link->setText(label->text().isEmpty() ? link->url_ : label->text());
    link->setToolTip(link->url_);
    link->setVisible(!label->isHidden());
    label->setObjectName(QString());
    delete label;
    link->apply_font();
    link->fit_to_text();
    return link;
}

void CHyperLink::SetURL(const QString& url)
{
    url_ = url;
    setToolTip(url);
    if (text().isEmpty()) {
        setText(url);
        fit_to_text();
    }
}

void CHyperLink::SetColours(QColor link, QColor visited, QColor hover)
{
    link_ = link;
    visited_colour_ = visited;
    hover_colour_ = hover;
    update();
}

void CHyperLink::SetUnderline(int mode)
{
    underline_ = mode;
    apply_font();
}

void CHyperLink::SetLinkCursor(const QCursor& cursor)
{
    setCursor(cursor);
}

void CHyperLink::SetAutoSize(bool autoSize)
{
    autoSize_ = autoSize;
    fit_to_text();
}

void CHyperLink::SetVisited(bool visited)
{
    visited_ = visited;
    update();
}

void CHyperLink::SetErrorReporter(ErrorReporter r)
{
    reporter() = std::move(r);
}

QColor CHyperLink::CurrentColour() const
{
    if (hover_)
        return hover_colour_;
    return visited_ ? visited_colour_ : link_;
}

void CHyperLink::apply_font()
{
    const bool underline = underline_ == 1 || (underline_ == -1 && hover_);
    setFont(underline ? underlined_ : normal_);
    update();
}

void CHyperLink::fit_to_text()
{
    if (!autoSize_ || !parentWidget())
        return;
    const QRect old = geometry();
    const QSize size = fontMetrics().size(Qt::TextSingleLine, text());
    const int width = qMin(size.width(), old.width());
    const int height = qMin(size.height(), old.height());
    int x = old.x();
    if (alignment() & Qt::AlignHCenter)
        x += (old.width() - width) / 2;
    else if (alignment() & Qt::AlignRight)
        x += old.width() - width;
    int y = old.y();
    if (alignment() & Qt::AlignVCenter)
        y += (old.height() - height) / 2;
    else if (alignment() & Qt::AlignBottom)
        y += old.height() - height;
    setGeometry(x, y, width, height);
}

void CHyperLink::paintEvent(QPaintEvent*)
{
    // Transparent: the parent's background shows through, nothing is erased.
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(CurrentColour());
    painter.drawText(rect(), static_cast<int>(alignment()), text());
}

void CHyperLink::mouseMoveEvent(QMouseEvent* event)
{
    if (!hover_) {
        hover_ = true;
        apply_font();
        timer_.start(kHoverInterval, this);
    }
    QLabel::mouseMoveEvent(event);
}

void CHyperLink::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timer_.timerId()) {
        QLabel::timerEvent(event);
        return;
    }
    if (!rect().contains(mapFromGlobal(QCursor::pos())))
        end_hover();
}

void CHyperLink::end_hover()
{
    timer_.stop();
    if (!hover_)
        return;
    hover_ = false;
    apply_font();
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint())) {
        QLabel::mouseReleaseEvent(event);
        return;
    }
    end_hover();
    const long result = GotoURL(url_);
    if (result > 32) {
        SetVisited(true);
    } else {
        QApplication::beep();
        const QString message =
            QStringLiteral("Unable to open hyperlink:\n\n") + ReasonText(result);
        reporter()(this, message.toStdU16String());
    }
    emit clicked();
}

QString CHyperLink::ReasonText(long code)
{
    switch (code) {
    case SE_ERR_FNF:
        return QStringLiteral("The specified file was not found.");
    case SE_ERR_PNF:
        return QStringLiteral("The specified path was not found.");
    case SE_ERR_ACCESSDENIED:
        return QStringLiteral("The operating system denied\naccess to the specified file.");
    case SE_ERR_NOASSOC:
        return QStringLiteral(
            "There is no application associated\nwith the given filename extension.");
    default:
        return QStringLiteral("Unknown Error (%1) occurred.").arg(code);
    }
}

QStringList CHyperLink::DefaultBrowserCommand(const QString& target)
{
    QProcess query;
    query.start(QStringLiteral("xdg-mime"),
                {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("text/html")});
    if (!query.waitForFinished(3000) || query.exitCode() != 0)
        return {};
    const QString desktop = QString::fromUtf8(query.readAllStandardOutput()).trimmed();
    if (desktop.isEmpty() || desktop.contains(QLatin1Char('/')))
        return {};
    const QString file = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, desktop);
    QFile in(file);
    if (file.isEmpty() || !in.open(QIODevice::ReadOnly))
        return {};
    QString exec;
    bool inEntry = false;
    for (const QString& raw : QString::fromUtf8(in.readAll()).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inEntry = line == QStringLiteral("[Desktop Entry]");
        else if (inEntry && line.startsWith(QStringLiteral("Exec=")))
            exec = line.mid(5);
    }
    // The command up to its first field code, then the target.
    const qsizetype field = exec.indexOf(QLatin1Char('%'));
    if (field >= 0)
        exec.truncate(field);
    QStringList command = QProcess::splitCommand(exec.trimmed());
    if (command.isEmpty())
        return {};
    command << target;
    return command;
}

long CHyperLink::GotoURL(const QString& url)
{
    const std::u16string target = url.toStdU16String();
    const long result = static_cast<long>(reinterpret_cast<intptr_t>(
        ShellExecuteW(nullptr, u"open", target.c_str(), nullptr, nullptr, SW_SHOW)));
    if (result > 32)
        return result;
    QStringList command = DefaultBrowserCommand(url);
    if (!command.isEmpty()) {
        const QString program = command.takeFirst();
        if (QProcess::startDetached(program, command))
            return 33;
    }
    return result;
}
