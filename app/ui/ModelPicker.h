#pragma once

#include <QWidget>

#include <functional>

class QComboBox;
class QLabel;
class QMenu;
class QMessageBox;
class QProgressBar;
class QPushButton;

namespace dravelin {

class Generator;
class LibraryListModel;
class ModelLibrary;

// The top of the controls: which model the next image is made with (name,
// kind, size), its refiner and VAE when the library has any, "Import
// model…", Remove (the chosen model) with a menu beside it to remove any
// other imported model, refiner or VAE, and an import's progress with
// Cancel. What a running generation uses cannot be removed until it ends.
// Bound to the library; holds no state of its own.
class ModelPicker : public QWidget {
    Q_OBJECT
public:
    ModelPicker(ModelLibrary& library, Generator& generator, QWidget* parent = nullptr);

    // Asks for a file to import; an empty path when the user cancels.
    // Replaceable so an import can be driven without a modal dialog.
    std::function<QString(QWidget* parent)> askImportPath;

    // Shows the remove confirmation for the chosen model, or for the entry
    // `id` (window-modal).
    void confirmRemove();
    void confirmRemove(const QString& id);
    // The menu of every removable entry, one action each (the entry's id as
    // its data); rebuilt when it opens.
    QMenu* removeMenu() const { return removeMenu_; }
    QMessageBox* removeConfirmation() const { return confirmation_; }

private:
    void followEntries();
    void followChoice();
    void followImport();
    void followMessage();
    void followGenerating();
    void fillRemoveMenu();

    ModelLibrary& library_;
    Generator& generator_;
    QComboBox* models_;
    QWidget* refinerRow_;
    QComboBox* refiners_;
    QWidget* vaeRow_;
    QComboBox* vaes_;
    QPushButton* importButton_;
    QPushButton* removeButton_;
    QPushButton* removeOtherButton_;
    QMenu* removeMenu_;
    QWidget* importing_;
    QProgressBar* importProgress_;
    QLabel* importDetail_;
    QLabel* message_;
    QMessageBox* confirmation_ = nullptr;
};

} // namespace dravelin
