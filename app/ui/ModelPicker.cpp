#include "ui/ModelPicker.h"

#include "state/Generator.h"
#include "state/library/ModelLibrary.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace dravelin {

namespace {

QString askWithDialog(QWidget* parent) {
    return QFileDialog::getOpenFileName(
        parent, QStringLiteral("Import model"),
        QStandardPaths::writableLocation(QStandardPaths::DownloadLocation),
        QStringLiteral("Model weights (*.safetensors);;All files (*)"));
}

// A picker row: a label, then a combo box bound to a list model whose
// choice follows the library.
QComboBox* boundCombo(LibraryListModel* model, QWidget* parent, const QString& name,
                      const std::function<void(const QString&)>& choose) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->setModel(model);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(12);
    QObject::connect(combo, &QComboBox::activated, parent,
                     [model, choose](int row) { choose(model->idAt(row)); });
    return combo;
}

QWidget* labelledRow(const QString& label, QComboBox* combo, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* caption = new QLabel(label, row);
    caption->setMinimumWidth(50);
    layout->addWidget(caption);
    combo->setParent(row);
    layout->addWidget(combo, 1);
    return row;
}

} // namespace

ModelPicker::ModelPicker(ModelLibrary& library, Generator& generator, QWidget* parent)
    : QWidget(parent), askImportPath(askWithDialog), library_(library), generator_(generator) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    auto* heading = new QLabel(QStringLiteral("Model"), this);
    QFont font = heading->font();
    font.setBold(true);
    heading->setFont(font);
    layout->addWidget(heading);

    models_ = boundCombo(library_.models(), this, QStringLiteral("model"),
                         [this](const QString& id) { library_.choose(id); });
    layout->addWidget(models_);
    refiners_ = boundCombo(library_.refiners(), this, QStringLiteral("refiner"),
                           [this](const QString& id) { library_.chooseRefiner(id); });
    refinerRow_ = labelledRow(QStringLiteral("Refiner"), refiners_, this);
    layout->addWidget(refinerRow_);
    vaes_ = boundCombo(library_.vaes(), this, QStringLiteral("vae"),
                       [this](const QString& id) { library_.chooseVae(id); });
    vaeRow_ = labelledRow(QStringLiteral("VAE"), vaes_, this);
    layout->addWidget(vaeRow_);

    auto* buttons = new QHBoxLayout();
    importButton_ = new QPushButton(QStringLiteral("Import model\u2026"), this);
    importButton_->setObjectName(QStringLiteral("importModel"));
    removeButton_ = new QPushButton(QStringLiteral("Remove"), this);
    removeButton_->setObjectName(QStringLiteral("removeModel"));
    removeOtherButton_ = new QPushButton(this);
    removeOtherButton_->setObjectName(QStringLiteral("removeOtherModel"));
    removeOtherButton_->setToolTip(QStringLiteral("Remove another model, refiner or VAE"));
    removeOtherButton_->setAccessibleName(QStringLiteral("Remove another model"));
    removeMenu_ = new QMenu(removeOtherButton_);
    removeMenu_->setObjectName(QStringLiteral("removeMenu"));
    removeOtherButton_->setMenu(removeMenu_);
    buttons->addWidget(importButton_, 1);
    buttons->addWidget(removeButton_);
    buttons->addWidget(removeOtherButton_);
    layout->addLayout(buttons);
    connect(removeMenu_, &QMenu::aboutToShow, this, &ModelPicker::fillRemoveMenu);
    connect(removeMenu_, &QMenu::triggered, this,
            [this](QAction* action) { confirmRemove(action->data().toString()); });
    connect(importButton_, &QPushButton::clicked, this, [this] {
        const QString path = askImportPath(this);
        if (!path.isEmpty()) {
            library_.importModel(path);
        }
    });
    connect(removeButton_, &QPushButton::clicked, this, [this] { confirmRemove(); });

    importing_ = new QWidget(this);
    auto* importLayout = new QVBoxLayout(importing_);
    importLayout->setContentsMargins(0, 0, 0, 0);
    auto* progressRow = new QHBoxLayout();
    importProgress_ = new QProgressBar(importing_);
    importProgress_->setObjectName(QStringLiteral("importProgress"));
    importProgress_->setRange(0, 1000);
    importProgress_->setTextVisible(false);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), importing_);
    cancel->setObjectName(QStringLiteral("cancelImport"));
    progressRow->addWidget(importProgress_, 1);
    progressRow->addWidget(cancel);
    importLayout->addLayout(progressRow);
    importDetail_ = new QLabel(importing_);
    importDetail_->setObjectName(QStringLiteral("importDetail"));
    importDetail_->setForegroundRole(QPalette::PlaceholderText);
    importDetail_->setWordWrap(true);
    importLayout->addWidget(importDetail_);
    layout->addWidget(importing_);
    connect(cancel, &QPushButton::clicked, &library_, &ModelLibrary::cancelImport);

    message_ = new QLabel(this);
    message_->setObjectName(QStringLiteral("libraryMessage"));
    message_->setWordWrap(true);
    message_->setStyleSheet(QStringLiteral("color: #c62828;"));
    layout->addWidget(message_);

    connect(&library_, &ModelLibrary::entriesChanged, this, &ModelPicker::followEntries);
    connect(&library_, &ModelLibrary::choiceChanged, this, &ModelPicker::followChoice);
    connect(&library_, &ModelLibrary::importingChanged, this, &ModelPicker::followImport);
    connect(&library_, &ModelLibrary::importProgressChanged, this, &ModelPicker::followImport);
    connect(&library_, &ModelLibrary::messageChanged, this, &ModelPicker::followMessage);
    connect(&generator_, &Generator::isGeneratingChanged, this, &ModelPicker::followGenerating);
    followEntries();
    followImport();
    followMessage();
}

void ModelPicker::followEntries() {
    // A reset list model forgets the current row: put the choice back.
    followChoice();
}

void ModelPicker::followChoice() {
    models_->setCurrentIndex(library_.models()->rowOf(library_.chosenId()));
    refiners_->setCurrentIndex(library_.refiners()->rowOf(library_.chosenRefinerId()));
    vaes_->setCurrentIndex(library_.vaes()->rowOf(library_.chosenVaeId()));
    refinerRow_->setVisible(library_.chosenKind() == ModelKind::sdxlBase &&
                            library_.refiners()->entryCount() > 0);
    vaeRow_->setVisible(library_.vaes()->entryCount() > 0);
    followGenerating();
}

void ModelPicker::followGenerating() {
    // What a running generation reads stays until it is done.
    library_.setEntriesInUse(generator_.entriesInUse());
    const std::optional<LibraryEntry> chosen = library_.entry(library_.chosenId());
    removeButton_->setEnabled(chosen && !chosen->isHub && !library_.isInUse(chosen->id));
    removeOtherButton_->setEnabled(!library_.removableEntries().isEmpty());
}

void ModelPicker::fillRemoveMenu() {
    removeMenu_->clear();
    for (const LibraryEntry& entry : library_.removableEntries()) {
        const bool inUse = library_.isInUse(entry.id);
        QAction* action = removeMenu_->addAction(
            QStringLiteral("%1 \u2014 %2%3")
                .arg(entry.name, displayName(entry.kind),
                     inUse ? QStringLiteral(" (in use)") : QString()));
        action->setData(entry.id);
        action->setEnabled(!inUse);
    }
}

void ModelPicker::followImport() {
    const bool importing = library_.isImporting();
    importing_->setVisible(importing);
    importButton_->setEnabled(!importing);
    // While the file is being checked nothing is counted yet: a busy bar.
    importProgress_->setRange(0, library_.importFraction() > 0.0 ? 1000 : 0);
    importProgress_->setValue(static_cast<int>(library_.importFraction() * 1000.0));
    importDetail_->setText(library_.importDetail());
}

void ModelPicker::followMessage() {
    message_->setVisible(!library_.message().isEmpty());
    message_->setText(library_.message());
}

void ModelPicker::confirmRemove() {
    confirmRemove(library_.chosenId());
}

void ModelPicker::confirmRemove(const QString& id) {
    const std::optional<LibraryEntry> chosen = library_.entry(id);
    if (!chosen || chosen->isHub) {
        return;
    }
    delete confirmation_;
    confirmation_ = new QMessageBox(QMessageBox::Warning, QStringLiteral("Remove the model?"),
                                    QStringLiteral("Remove \u201c%1\u201d from the library?")
                                        .arg(chosen->name),
                                    QMessageBox::Cancel, this);
    confirmation_->setInformativeText(
        QStringLiteral("Dravelin's copy is deleted; the file you imported stays where it was."));
    QPushButton* remove =
        confirmation_->addButton(QStringLiteral("Remove"), QMessageBox::DestructiveRole);
    remove->setObjectName(QStringLiteral("confirmRemove"));
    connect(remove, &QPushButton::clicked, &library_, [this, id] { library_.remove(id); });
    confirmation_->open();
}

} // namespace dravelin
