#include "ui/ResultsGrid.h"

#include "state/Generator.h"
#include "ui/ResultDelegate.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QScrollBar>
#include <QStyle>

#include <algorithm>

namespace dravelin {

namespace {

constexpr int kMinimumCell = 130;
constexpr int kSpacing = 10;
// Each cell sits centred in a grid square kSpacing wider than itself, so the
// viewport's own margin makes up the rest of the outer margin of 10.
constexpr int kViewportMargin = kSpacing / 2;

} // namespace

ResultsGrid::ResultsGrid(Generator& generator, QWidget* parent)
    : QListView(parent), generator_(generator), delegate_(new ResultDelegate(this)) {
    setObjectName(QStringLiteral("results"));
    setViewMode(QListView::IconMode);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setUniformItemSizes(true);
    setSpacing(0);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setViewportMargins(kViewportMargin, kViewportMargin, kViewportMargin, kViewportMargin);
    setMouseTracking(true);
    setItemDelegate(delegate_);
    setModel(generator_.resultsModel());
    viewport()->setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QListView { background: transparent; }"));

    empty_ = new QLabel(QStringLiteral("Results from this session appear here."), viewport());
    empty_->setForegroundRole(QPalette::PlaceholderText);
    empty_->move(kSpacing / 2 + 2, kSpacing / 2 + 2);
    empty_->adjustSize();

    connect(this, &QListView::clicked, this, &ResultsGrid::showResultAt);
    connect(this, &QListView::activated, this, &ResultsGrid::showResultAt);
    connect(delegate_, &ResultDelegate::saveRequested, this, &ResultsGrid::saveRequested);
    connect(delegate_, &ResultDelegate::copyRequested, this, &ResultsGrid::copyRequested);
    auto follow = [this] { empty_->setVisible(model()->rowCount() == 0); };
    connect(model(), &QAbstractItemModel::rowsInserted, this, follow);
    connect(model(), &QAbstractItemModel::modelReset, this, follow);
    follow();
    arrange();
}

int ResultsGrid::cellSide() const {
    return delegate_->cellSide();
}

GeneratedImage ResultsGrid::resultAt(int row) const {
    return model()->index(row, 0).data(ResultsModel::ResultRole).value<GeneratedImage>();
}

QRect ResultsGrid::cellRect(int row) const {
    return visualRect(model()->index(row, 0));
}

void ResultsGrid::showResultAt(const QModelIndex& index) {
    if (index.isValid()) {
        generator_.showResult(resultAt(index.row()));
    }
}

void ResultsGrid::resizeEvent(QResizeEvent* event) {
    QListView::resizeEvent(event);
    arrange();
}

void ResultsGrid::arrange() {
    // Room is kept for the scroll bar whether or not it shows, so the columns
    // never depend on the number of rows (which could make the bar come and
    // go).
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    const int width = std::max(contentsRect().width() - 2 * kViewportMargin - scrollBar, 1);
    columns_ = std::max(1, width / (kMinimumCell + kSpacing));
    const int square = width / columns_;
    const int side = std::max(kMinimumCell, square - kSpacing);
    if (side != delegate_->cellSide() || gridSize().width() != side + kSpacing) {
        delegate_->setCellSide(side);
        setGridSize(QSize(side + kSpacing, side + kSpacing));
        verticalScrollBar()->setSingleStep(side / 4);
    }
}

void ResultsGrid::keyPressEvent(QKeyEvent* event) {
    const QModelIndex current = currentIndex();
    if (current.isValid() && event->matches(QKeySequence::Save)) {
        emit saveRequested(resultAt(current.row()));
        return;
    }
    if (current.isValid() && event->matches(QKeySequence::Copy)) {
        emit copyRequested(resultAt(current.row()));
        return;
    }
    QListView::keyPressEvent(event);
    if (currentIndex() != current) {
        showResultAt(currentIndex());
    }
}

void ResultsGrid::contextMenuEvent(QContextMenuEvent* event) {
    const QModelIndex index = indexAt(event->pos());
    if (!index.isValid()) {
        return;
    }
    const GeneratedImage result = resultAt(index.row());
    QMenu menu(this);
    menu.addAction(QStringLiteral("Save as PNG\u2026"), this,
                   [this, result] { emit saveRequested(result); });
    menu.addAction(QStringLiteral("Copy"), this, [this, result] { emit copyRequested(result); });
    menu.addAction(QStringLiteral("Use as input"), this,
                   [this, result] { emit useAsInputRequested(result); });
    QAction* use = menu.addAction(QStringLiteral("Use settings"), this,
                                  [this, result] { emit useSettingsRequested(result); });
    use->setEnabled(!result.parameters.isEmpty());
    menu.exec(event->globalPos());
}

} // namespace dravelin
