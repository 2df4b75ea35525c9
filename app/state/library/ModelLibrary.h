#pragma once

#include "state/library/LibraryEntry.h"
#include "state/library/LibraryListModel.h"
#include "state/library/ModelChoice.h"
#include "state/library/ModelImport.h"

#include <QFutureWatcher>
#include <QList>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <memory>

namespace dravelin {

class ModelDownload;
class ModelStore;

// The models a user can generate with: the downloaded hub model (while it is
// installed) and what they imported into the application folder ("Models/"
// and "VAE/", each file with its description). Publishes the entries for the
// pickers, runs one import at a time on a worker thread (progress, Cancel),
// removes entries, and remembers the choice of model, refiner and VAE across
// launches ("Library.json"). Every property changes on the GUI thread.
class ModelLibrary : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString chosenId READ chosenId WRITE choose NOTIFY choiceChanged)
    Q_PROPERTY(QString chosenRefinerId READ chosenRefinerId WRITE chooseRefiner NOTIFY choiceChanged)
    Q_PROPERTY(QString chosenVaeId READ chosenVaeId WRITE chooseVae NOTIFY choiceChanged)
    Q_PROPERTY(QString chosenName READ chosenName NOTIFY choiceChanged)
    // "SD 1.5" or "SDXL": what the size and sampler settings follow.
    Q_PROPERTY(QString chosenKindName READ chosenKindName NOTIFY choiceChanged)
    Q_PROPERTY(bool chosenIsXL READ chosenIsXL NOTIFY choiceChanged)
    Q_PROPERTY(int nativeWidth READ nativeWidth NOTIFY choiceChanged)
    Q_PROPERTY(int nativeHeight READ nativeHeight NOTIFY choiceChanged)
    Q_PROPERTY(bool isImporting READ isImporting NOTIFY importingChanged)
    Q_PROPERTY(double importFraction READ importFraction NOTIFY importProgressChanged)
    Q_PROPERTY(QString importDetail READ importDetail NOTIFY importProgressChanged)
    // The last import's failure, or a note; null when there is none.
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)

public:
    static constexpr const char* kHubId = "hub";

    // `store` supplies the hub model (and its loaded pipeline) and the
    // application folder; it must outlive the library.
    explicit ModelLibrary(ModelStore& store, QObject* parent = nullptr);
    // Cancels a running import and waits for it to clean up.
    ~ModelLibrary() override;

    const QList<LibraryEntry>& entries() const { return entries_; }
    std::optional<LibraryEntry> entry(const QString& id) const;

    // Pickers: SD 1.5 and SDXL base models; SDXL refiners (after "No
    // refiner"); VAEs (after "The model's own VAE").
    LibraryListModel* models() { return &models_; }
    LibraryListModel* refiners() { return &refiners_; }
    LibraryListModel* vaes() { return &vaes_; }

    QString chosenId() const { return chosenId_; }
    QString chosenRefinerId() const { return chosenRefinerId_; }
    QString chosenVaeId() const { return chosenVaeId_; }
    QString chosenName() const;
    std::optional<ModelKind> chosenKind() const;
    QString chosenKindName() const;
    bool chosenIsXL() const;
    int nativeWidth() const;
    int nativeHeight() const { return nativeWidth(); }
    // An unknown id changes nothing; the refiner needs an SDXL base model.
    void choose(const QString& id);
    void chooseRefiner(const QString& id);
    void chooseVae(const QString& id);
    // What the next generation runs with; no value while nothing is chosen.
    std::optional<ModelChoice> choice() const;

    bool isImporting() const { return importWatcher_ != nullptr; }
    double importFraction() const { return importFraction_; }
    QString importDetail() const { return importDetail_; }
    QString message() const { return message_; }
    void clearMessage() { setMessage(QString()); }

    // Starts importing a .safetensors file or a model folder (refused with a
    // message while another import runs). The new entry is chosen when done.
    void importModel(const QString& path);
    void cancelImport();
    // Removes an imported entry's files, any entry, chosen or not; the hub
    // model is deleted through the store instead. A removed choice falls
    // back to the hub model. An entry in use is refused with a message.
    bool remove(const QString& id);
    // The entries a running generation reads from (Generator::entriesInUse):
    // removing them waits until it is done.
    void setEntriesInUse(const QStringList& ids);
    bool isInUse(const QString& id) const { return entriesInUse_.contains(id); }
    // Every entry `remove` takes (imported models, refiners and VAEs).
    QList<LibraryEntry> removableEntries() const;
    // Reads the folders again (the hub model may have come or gone).
    void refresh();

    // The tiny autoencoder for SDXL previews ("PreviewXL/", from the hub's
    // madebyollin/taesdxl with the model download's checks): whether it is
    // installed, and fetching it (once at a time; without it previews of
    // SDXL latents are projected). With `automatic`, choosing an SDXL model
    // fetches it when it is missing.
    bool hasXLPreviewDecoder() const;
    bool isFetchingXLPreviewDecoder() const { return !previewDownload_.isNull(); }
    void fetchXLPreviewDecoder();
    void setFetchesPreviewDecoderAutomatically(bool automatic);

    // For tests: replaces what tells a file's kind.
    void setInspector(std::function<InspectedModel(const QString&)> inspect) {
        inspect_ = std::move(inspect);
    }

signals:
    void entriesChanged();
    void choiceChanged();
    void importingChanged();
    void importProgressChanged();
    void messageChanged();
    // An import ended: with the new entry's id, or an empty id.
    void importFinished(const QString& id);
    // A fetch of the XL preview decoder ended (installed or not).
    void xlPreviewDecoderFetched(bool installed);

private:
    QString choicePath() const;
    void readChoice();
    void writeChoice() const;
    void settleChoice();
    void setMessage(const QString& message);
    void importDone();
    void publishProgress();

    ModelStore& store_;
    QString folder_;
    QList<LibraryEntry> entries_;
    LibraryListModel models_;
    LibraryListModel refiners_;
    LibraryListModel vaes_;
    QString chosenId_;
    QString chosenRefinerId_;
    QString chosenVaeId_;
    QString message_;
    QStringList entriesInUse_;

    std::function<InspectedModel(const QString&)> inspect_ = inspectModel;
    QFutureWatcher<ImportResult>* importWatcher_ = nullptr;
    std::shared_ptr<std::atomic<bool>> importCancel_;
    // Progress arrives for every 4 MB: the latest waits here and is
    // published at most once per frame.
    struct PendingProgress;
    std::shared_ptr<PendingProgress> pending_;
    QTimer progressTimer_;
    double importFraction_ = 0.0;
    QString importDetail_;

    QNetworkAccessManager network_;
    QPointer<ModelDownload> previewDownload_;
    bool fetchAutomatically_ = false;
};

} // namespace dravelin
