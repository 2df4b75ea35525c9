#pragma once

#include "pipeline/GenerationParameters.h"
#include "runtime/ModelConfiguration.h"

#include "state/LoraImport.h"

#include <QFutureWatcher>
#include <QList>
#include <QTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

namespace dravelin {

// A LoRA file of the library.
struct LoraEntry {
    QString name; // the file name without ".safetensors"
    QString path;
    // The first 12 hexadecimal digits of the SHA-256 of the file after its
    // header, the "Lora hashes" of a PNG's parameters; empty when unknown.
    QString hash;
};

// A LoRA chosen for the next generations, with its weight.
struct ChosenLora {
    QString name;
    double weight = 1.0;

    bool operator==(const ChosenLora&) const = default;
};

// The LoRAs merged into one generation: the files, and the names, weights
// and hashes its PNG's parameters record.
struct ResolvedLoras {
    std::vector<LoraFile> files;
    std::vector<PromptLora> named;
};

// The LoRA files under the application folder's "LoRA/", each with a small
// description beside it ("NAME.json": its hash and where it came from), and
// the ones chosen for the next generations. Choosing checks the file against
// the current model and refuses, in errorMessage, one that does not fit.
class LoraLibrary : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList names READ names NOTIFY entriesChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(bool isImporting READ isImporting NOTIFY importingChanged)
    Q_PROPERTY(double importFraction READ importFraction NOTIFY importProgressChanged)
    Q_PROPERTY(QString importDetail READ importDetail NOTIFY importProgressChanged)

public:
    explicit LoraLibrary(QString applicationFolder, QObject* parent = nullptr);
    // Cancels a running import and waits for it to clean up.
    ~LoraLibrary() override;

    QString folder() const;
    // Reads the folder again.
    void refresh();
    const QList<LoraEntry>& entries() const { return entries_; }
    QStringList names() const;
    std::optional<LoraEntry> entry(const QString& name) const;

    // Copies a .safetensors LoRA file into the library under its own name
    // (characters a prompt tag cannot hold become "_"), whole or not at all.
    // Refuses, in errorMessage, a file that is not safetensors or whose name
    // is taken. Returns the new entry's name, empty on refusal. Blocking;
    // the window uses startImport.
    QString importFile(const QString& path);
    // The same on a worker thread, with progress and Cancel (a cancelled
    // import leaves nothing behind); importFinished tells the new name, or
    // an empty one.
    void startImport(const QString& path);
    void cancelImport();
    bool isImporting() const { return importWatcher_ != nullptr; }
    double importFraction() const { return importFraction_; }
    QString importDetail() const { return importDetail_; }

    // The model choices are checked against (a model directory or a
    // single-file checkpoint); empty skips checks.
    void setModelDirectory(const QString& directory);
    const QList<ChosenLora>& chosen() const { return chosen_; }
    // Adds or re-weights a library LoRA; refused when it does not fit.
    bool choose(const QString& name, double weight = 1.0);
    void unchoose(const QString& name);
    void clearChosen();

    // The chosen LoRAs with the prompt's "<lora:NAME:WEIGHT>" tags added (a
    // tag's weight wins over a chosen one of the same name). Throws
    // std::runtime_error with a sentence for a tag that is malformed or names
    // a LoRA the library lacks.
    ResolvedLoras resolve(const QString& prompt) const;

    QString errorMessage() const { return errorMessage_; }
    void setErrorMessage(const QString& message);

signals:
    void entriesChanged();
    void chosenChanged();
    void errorMessageChanged();
    void importingChanged();
    void importProgressChanged();
    void importFinished(const QString& name);

private:
    // The library name for a file to import, or empty (errorMessage says why).
    QString checkedImportName(const QString& path);
    void importDone(const LoraImportResult& result);
    void publishProgress();

    struct ImportBytes {
        std::atomic<qint64> done{0};
        std::atomic<qint64> total{0};
    };

    QString applicationFolder_;
    QString modelDirectory_;
    QList<LoraEntry> entries_;
    QList<ChosenLora> chosen_;
    QString errorMessage_;
    QFutureWatcher<LoraImportResult>* importWatcher_ = nullptr;
    std::shared_ptr<std::atomic<bool>> importCancel_;
    std::shared_ptr<ImportBytes> importBytes_;
    QTimer progressTimer_;
    double importFraction_ = 0.0;
    QString importDetail_;
};

} // namespace dravelin
