#pragma once

#include "state/GeneratedImage.h"

#include <QListView>

class QLabel;

namespace dravelin {

class Generator;
class ResultDelegate;

// The session's results (the generator's results model), newest first, as
// square cells in as many columns of at least 130 as fit, 10 apart. A click,
// or moving the current cell with the keyboard, shows that result in the
// preview; Ctrl+S and Ctrl+C save and copy the current one, as its buttons
// and context menu do.
class ResultsGrid : public QListView {
    Q_OBJECT
public:
    explicit ResultsGrid(Generator& generator, QWidget* parent = nullptr);

    int columnCount() const { return columns_; }
    int cellSide() const;
    // The result in a row (0 is the newest).
    GeneratedImage resultAt(int row) const;
    // A cell's rectangle in the viewport.
    QRect cellRect(int row) const;

signals:
    void saveRequested(const dravelin::GeneratedImage& result);
    void copyRequested(const dravelin::GeneratedImage& result);
    void useAsInputRequested(const dravelin::GeneratedImage& result);
    void useSettingsRequested(const dravelin::GeneratedImage& result);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void showResultAt(const QModelIndex& index);
    void arrange();

    Generator& generator_;
    ResultDelegate* delegate_;
    QLabel* empty_;
    int columns_ = 1;
};

} // namespace dravelin
