#include "state/library/LibraryListModel.h"

#include "state/download/ByteCountText.h"

namespace dravelin {

LibraryListModel::LibraryListModel(std::function<bool(const LibraryEntry&)> accepts,
                                   QString noneText, QObject* parent)
    : QAbstractListModel(parent), accepts_(std::move(accepts)), noneText_(std::move(noneText)) {}

QString LibraryListModel::caption(const LibraryEntry& entry) {
    return entry.name + QStringLiteral(" \u2014 ") + displayName(entry.kind) +
           QStringLiteral(", ") + byteCountText(entry.size);
}

int LibraryListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(entries_.size()) + offset();
}

QVariant LibraryListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) {
        return {};
    }
    if (index.row() < offset()) {
        if (role == Qt::DisplayRole) {
            return noneText_;
        }
        return role == IdRole ? QVariant(QString()) : QVariant();
    }
    const LibraryEntry& entry = entries_[index.row() - offset()];
    switch (role) {
    case Qt::DisplayRole:
        return caption(entry);
    case Qt::ToolTipRole:
        return entry.sha256.isEmpty()
                   ? caption(entry)
                   : caption(entry) + QStringLiteral("\nSHA-256 ") + entry.sha256;
    case IdRole:
        return entry.id;
    case KindRole:
        return displayName(entry.kind);
    case SizeRole:
        return entry.size;
    case Sha256Role:
        return entry.sha256;
    default:
        return {};
    }
}

QHash<int, QByteArray> LibraryListModel::roleNames() const {
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert(IdRole, "id");
    names.insert(KindRole, "kind");
    names.insert(SizeRole, "size");
    names.insert(Sha256Role, "sha256");
    return names;
}

int LibraryListModel::rowOf(const QString& id) const {
    if (id.isEmpty()) {
        return offset() == 1 ? 0 : -1;
    }
    for (qsizetype i = 0; i < entries_.size(); ++i) {
        if (entries_[i].id == id) {
            return static_cast<int>(i) + offset();
        }
    }
    return -1;
}

QString LibraryListModel::idAt(int row) const {
    return data(index(row, 0), IdRole).toString();
}

void LibraryListModel::setEntries(const QList<LibraryEntry>& entries) {
    QList<LibraryEntry> kept;
    for (const LibraryEntry& entry : entries) {
        if (accepts_(entry)) {
            kept.push_back(entry);
        }
    }
    if (kept == entries_) {
        return;
    }
    beginResetModel();
    entries_ = std::move(kept);
    endResetModel();
}

} // namespace dravelin
