#include "ui/ResultsGrid.h"

#include "state/Generator.h"
#include "ui/ResultCell.h"

#include <QLabel>
#include <QResizeEvent>

#include <algorithm>

namespace dravelin {

namespace {

constexpr int kMinimumCell = 130;
constexpr int kSpacing = 10;
constexpr int kMargin = 10;

int columnsFor(int width) {
    return std::max(1, (width - 2 * kMargin + kSpacing) / (kMinimumCell + kSpacing));
}

int cellSizeFor(int width, int columns) {
    return std::max(kMinimumCell, (width - 2 * kMargin - (columns - 1) * kSpacing) / columns);
}

} // namespace

ResultsGrid::ResultsGrid(Generator& generator, QWidget* parent)
    : QWidget(parent), generator_(generator) {
    empty_ = new QLabel(QStringLiteral("Results from this session appear here."), this);
    empty_->setForegroundRole(QPalette::PlaceholderText);
    empty_->move(kMargin + 2, kMargin + 2);
    connect(&generator_, &Generator::resultsChanged, this, &ResultsGrid::resultsChanged);
    resultsChanged();
}

QList<ResultCell*> ResultsGrid::cells() const {
    return cells_;
}

void ResultsGrid::resultsChanged() {
    // Keep the cells of results already shown; make cells for new ones.
    QHash<QUuid, ResultCell*> existing;
    for (ResultCell* cell : cells_) {
        existing.insert(cell->result().id, cell);
    }
    QList<ResultCell*> ordered;
    for (const GeneratedImage& result : generator_.results()) {
        ResultCell* cell = existing.take(result.id);
        if (cell == nullptr) {
            cell = new ResultCell(result, this);
            connect(cell, &ResultCell::clicked, &generator_, &Generator::showResult);
            connect(cell, &ResultCell::saveRequested, this, &ResultsGrid::saveRequested);
            connect(cell, &ResultCell::copyRequested, this, &ResultsGrid::copyRequested);
            cell->show();
        }
        ordered.append(cell);
    }
    for (ResultCell* gone : existing) {
        gone->deleteLater();
    }
    cells_ = ordered;
    empty_->setVisible(cells_.isEmpty());
    arrange();
    updateGeometry();
}

int ResultsGrid::heightForWidth(int width) const {
    if (cells_.isEmpty()) {
        return empty_->sizeHint().height() + 2 * kMargin;
    }
    const int columns = columnsFor(width);
    const int rows = (static_cast<int>(cells_.size()) + columns - 1) / columns;
    const int cell = cellSizeFor(width, columns);
    return 2 * kMargin + rows * cell + (rows - 1) * kSpacing;
}

QSize ResultsGrid::sizeHint() const {
    return QSize(kMinimumCell + 2 * kMargin, heightForWidth(width()));
}

void ResultsGrid::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    arrange();
}

void ResultsGrid::arrange() {
    columns_ = columnsFor(width());
    const int cell = cellSizeFor(width(), columns_);
    for (int i = 0; i < static_cast<int>(cells_.size()); ++i) {
        const int row = i / columns_;
        const int column = i % columns_;
        cells_[i]->setGeometry(kMargin + column * (cell + kSpacing),
                               kMargin + row * (cell + kSpacing), cell, cell);
    }
    const int wanted = heightForWidth(width());
    if (height() != wanted) {
        setMinimumHeight(wanted);
    }
}

} // namespace dravelin
