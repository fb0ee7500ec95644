#pragma once

#include <QLabel>
#include <QRect>
#include <QUrl>

#include <functional>

// A text that behaves like a web link: the link colour, red and underlined while the pointer is
// over the text, a pointing hand, and its address opened by a click that begins and ends on the
// text. Only web and mail addresses (http, https, mailto) are ever opened, and never by a field
// that can be edited or selected.
class NSTextFiled_Link : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString url READ url WRITE setUrl)
public:
    explicit NSTextFiled_Link(QWidget *parent = nullptr);

    QString url() const { return m_url; }
    void setUrl(const QString &url);
    void setStringValue(const QString &text);

    // Shows the text as it looks with the pointer outside.
    void setDefaultAttributes();
    void updateURLandTrackingArea();
    // The part of the field that reacts to the pointer.
    QRect trackingArea() const { return m_tracking; }
    bool isMouseIsideTrackingArea() const;
    bool hovered() const { return m_hovered; }

    // Whether an address may be opened by a click.
    static bool isOpenable(const QUrl &url);
    // What opens an address (the desktop's handler by default; tests record instead).
    static void setOpener(std::function<bool(const QUrl &)> opener);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    bool opensOnClick() const;
    void applyLook(bool hover);

    QString m_url;
    QRect m_tracking;
    bool m_lookBuilt = false;
    bool m_pressedInside = false;
    bool m_hovered = false;
};
