#pragma once

#include "state/GeneratedImage.h"

#include <QHash>
#include <QPixmap>
#include <QStyledItemDelegate>
#include <QUuid>

namespace dravelin {

// Paints one result of the grid: its picture filling a square with rounded
// corners, a ring when it is selected, and save and copy buttons in a small
// capsule at the bottom-right, which it also answers (clicks and their
// tooltips). The cell side comes from the view (setCellSide).
class ResultDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit ResultDelegate(QObject* parent = nullptr);

    void setCellSide(int side) { side_ = side; }
    int cellSide() const { return side_; }

    // Where the two buttons sit within a cell's rectangle.
    static QRect saveButtonRect(const QRect& cell);
    static QRect copyButtonRect(const QRect& cell);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

signals:
    void saveRequested(const dravelin::GeneratedImage& result);
    void copyRequested(const dravelin::GeneratedImage& result);

private:
    // The picture cropped and scaled to fill `size` device pixels, made once
    // per result and size: a reduced copy of the full image is kept, so a
    // resize rescales little.
    QPixmap thumbnail(const GeneratedImage& result, const QSize& size) const;

    int side_ = 130;
    mutable QHash<QUuid, QPixmap> sources_;
    mutable QHash<QUuid, QPixmap> thumbnails_;
};

} // namespace dravelin
