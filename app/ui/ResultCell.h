#pragma once

#include "state/GeneratedImage.h"

#include <QPixmap>
#include <QWidget>

class QToolButton;

namespace dravelin {

// One result in the grid: its picture in a square with rounded corners, a
// tooltip with prompt and seed, save and copy buttons in a small capsule at
// the bottom-right, and the same two actions in a context menu.
class ResultCell : public QWidget {
    Q_OBJECT
public:
    explicit ResultCell(GeneratedImage result, QWidget* parent = nullptr);

    const GeneratedImage& result() const { return result_; }

signals:
    void clicked(const dravelin::GeneratedImage& result);
    void saveRequested(const dravelin::GeneratedImage& result);
    void copyRequested(const dravelin::GeneratedImage& result);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    GeneratedImage result_;
    QPixmap source_;
    QPixmap thumbnail_; // cropped and scaled once per size
    QWidget* capsule_;
};

} // namespace dravelin
