#pragma once

#include <QIcon>
#include <QToolButton>

// A button that shows another image while the pointer is over it.
class HoverButton : public QToolButton {
    Q_OBJECT
public:
    explicit HoverButton(QWidget *parent = nullptr);

    void setImages(const QIcon &image, const QIcon &alternateImage);
    QIcon originalImage() const { return m_originalImage; }
    QIcon alternateImage() const { return m_alternateImage; }
    bool hovered() const { return m_hovered; }

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QIcon m_originalImage;
    QIcon m_alternateImage;
    bool m_hovered = false;
};
