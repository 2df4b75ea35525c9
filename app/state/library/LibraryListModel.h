#pragma once

#include "state/library/LibraryEntry.h"

#include <QAbstractListModel>
#include <QList>

#include <functional>

namespace dravelin {

// The entries of one picker (models, refiners or VAEs), in library order,
// optionally after a first row that stands for "none" (empty id).
class LibraryListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { IdRole = Qt::UserRole + 1, KindRole, SizeRole, Sha256Role };

    LibraryListModel(std::function<bool(const LibraryEntry&)> accepts, QString noneText = {},
                     QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // Display: "name — SDXL, 6.9 GB"; tool tip adds the SHA-256.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The row showing `id` (the "none" row for an empty id), or -1.
    int rowOf(const QString& id) const;
    QString idAt(int row) const;
    // Takes the library's entries, keeping those this picker lists.
    void setEntries(const QList<LibraryEntry>& entries);
    int entryCount() const { return static_cast<int>(entries_.size()); }

    static QString caption(const LibraryEntry& entry);

private:
    int offset() const { return noneText_.isEmpty() ? 0 : 1; }

    std::function<bool(const LibraryEntry&)> accepts_;
    QString noneText_;
    QList<LibraryEntry> entries_;
};

} // namespace dravelin
