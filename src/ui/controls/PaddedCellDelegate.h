#pragma once

#include <QStyledItemDelegate>

// Cells of a list or tree whose text keeps room on the right (for a badge or a button drawn
// there) and, when centred, sits a third of the free height down rather than half, which reads
// as centred next to an icon.
class PaddedCellDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit PaddedCellDelegate(QObject *parent = nullptr);

    bool centered() const { return m_centered; }
    void setCentered(bool v) { m_centered = v; }
    int paddingRight() const { return m_paddingRight; }
    void setPaddingRight(int v) { m_paddingRight = v; }

    // The rectangle the text is drawn in, for a cell rectangle and a text height.
    QRect titleRect(const QRect &bounds, int textHeight) const;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

private:
    bool m_centered = false;
    int m_paddingRight = 0;
};
