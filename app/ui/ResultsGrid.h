#pragma once

#include "state/GeneratedImage.h"

#include <QHash>
#include <QUuid>
#include <QWidget>

class QLabel;

namespace dravelin {

class Generator;
class ResultCell;

// The session's results, newest first, in as many columns of at least 130
// as fit. Cells are made once per result and only moved on a resize.
class ResultsGrid : public QWidget {
    Q_OBJECT
public:
    explicit ResultsGrid(Generator& generator, QWidget* parent = nullptr);

    int columnCount() const { return columns_; }
    QList<ResultCell*> cells() const;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

signals:
    void saveRequested(const dravelin::GeneratedImage& result);
    void copyRequested(const dravelin::GeneratedImage& result);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void resultsChanged();
    void arrange();

    Generator& generator_;
    QLabel* empty_;
    QList<ResultCell*> cells_; // in the order of the results
    int columns_ = 1;
};

} // namespace dravelin
