#pragma once

#include <QToolButton>

// A tool button with an icon and a title that shrinks to its icon alone when its row cannot give
// it the room for the title, and shows the title again when the room comes back.
class CollapsableButton : public QToolButton {
    Q_OBJECT
public:
    explicit CollapsableButton(QWidget *parent = nullptr);

    // The width that shows icon and title.
    int fullWidth() const;
    bool collapsed() const { return toolButtonStyle() == Qt::ToolButtonIconOnly; }

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QSize hintFor(Qt::ToolButtonStyle style) const;
};
