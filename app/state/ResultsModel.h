#pragma once

#include "state/GeneratedImage.h"

#include <QAbstractListModel>
#include <QList>

namespace dravelin {

// The session's results as a list model, newest first: each new result is
// one row inserted at the front, so views keep what they already show.
// Rows never change or go away while the process runs.
class ResultsModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        // The whole GeneratedImage, as a QVariant.
        ResultRole = Qt::UserRole + 1,
    };

    explicit ResultsModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // ResultRole; Qt::ToolTipRole (prompt, then "Seed N"); Qt::DisplayRole
    // (the prompt, for accessibility and keyboard search).
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    const QList<GeneratedImage>& results() const { return results_; }
    const GeneratedImage& at(int row) const { return results_.at(row); }
    void prepend(const GeneratedImage& result);

private:
    QList<GeneratedImage> results_;
};

} // namespace dravelin
