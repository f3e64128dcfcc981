// CHyperLink: a static text that behaves like a web link. A click opens the target with the
// shell's "open" verb and, when that fails, with the desktop's default handler for web pages;
// when both fail the computer beeps and the reason is reported through the error reporter (the
// program's message box, set by the program; standard error until then).
#pragma once

#include <QBasicTimer>
#include <QColor>
#include <QCursor>
#include <QFont>
#include <QLabel>

#include <functional>
#include <string>

class CHyperLink : public QLabel {
    Q_OBJECT
public:
    static constexpr int kHoverInterval = 100; // ms

    explicit CHyperLink(QWidget* parent = nullptr);

    // Takes over a dialog's static text: a CHyperLink with its id, place, text, font and
    // alignment replaces it and the old label is deleted. An empty target then takes the text;
    // an empty text shows the target. With auto-size on, the control fits its text, keeping its
    // alignment within the old place.
    static CHyperLink* TakeOver(QLabel* label, const QString& url = QString());

    void SetURL(const QString& url);
    QString GetURL() const { return url_; }
    void SetColours(QColor link, QColor visited, QColor hover);
    // -1 underline while hovered, 0 never, 1 always.
    void SetUnderline(int mode);
    void SetLinkCursor(const QCursor& cursor);
    void SetAutoSize(bool autoSize);
    void SetVisited(bool visited);

    bool IsVisited() const { return visited_; }
    bool IsHovered() const { return hover_; }
    int Underline() const { return underline_; }
    // The colour the text is drawn in now.
    QColor CurrentColour() const;

    // How the reason of a failed open reaches the user: the message text, with
    // "Unable to open hyperlink:\n\n" in front. Process-wide.
    using ErrorReporter = std::function<void(QWidget* owner, const std::u16string& message)>;
    static void SetErrorReporter(ErrorReporter reporter);

    // Opens the target: "open" through the shell, else the default web handler. The shell's
    // result code (> 32 on success).
    static long GotoURL(const QString& url);
    // The reason text for a shell result code.
    static QString ReasonText(long code);
    // The command that the desktop's default handler for text/html would run for the target,
    // from `xdg-mime query default text/html` and that handler's desktop file (its Exec line cut
    // at the first field code); empty when there is none.
    static QStringList DefaultBrowserCommand(const QString& target);

signals:
    // After every click, whether or not the target opened.
    void clicked();

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void end_hover();
    void apply_font();
    void fit_to_text();

    QString url_;
    QColor link_{0, 0, 238}, visited_colour_{85, 26, 139}, hover_colour_{255, 0, 0};
    bool visited_ = false;
    bool hover_ = false;
    int underline_ = -1;
    bool autoSize_ = true;
    QBasicTimer timer_;
    QFont normal_, underlined_;
};
