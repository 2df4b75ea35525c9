#include "state/ResultsModel.h"

namespace dravelin {

ResultsModel::ResultsModel(QObject* parent) : QAbstractListModel(parent) {}

int ResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(results_.size());
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= results_.size()) {
        return {};
    }
    const GeneratedImage& result = results_.at(index.row());
    switch (role) {
    case ResultRole:
        return QVariant::fromValue(result);
    case Qt::DisplayRole:
        return result.prompt;
    case Qt::ToolTipRole:
        return result.prompt + QLatin1Char('\n') + QStringLiteral("Seed ") +
               QString::number(result.seed);
    default:
        return {};
    }
}

QHash<int, QByteArray> ResultsModel::roleNames() const {
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert(ResultRole, "result");
    return names;
}

void ResultsModel::prepend(const GeneratedImage& result) {
    beginInsertRows(QModelIndex(), 0, 0);
    results_.prepend(result);
    endInsertRows();
}

} // namespace dravelin
