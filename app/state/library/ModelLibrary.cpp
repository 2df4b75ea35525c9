#include "state/library/ModelLibrary.h"

#include "pipeline/StableDiffusionPipeline.h"
#include "state/ModelStore.h"
#include "state/download/ModelDownload.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <mutex>

namespace dravelin {

struct ModelLibrary::PendingProgress {
    std::mutex lock;
    qint64 done = 0;
    qint64 total = 0;
    QString detail;
};

namespace {

constexpr int kProgressIntervalMs = 30;

bool isPickerModel(const LibraryEntry& entry) {
    return entry.kind == ModelKind::sd1 || entry.kind == ModelKind::sdxlBase;
}

qint64 weightBytes(const QString& directory) {
    qint64 total = 0;
    QDirIterator files(directory, {QStringLiteral("*.safetensors")}, QDir::Files,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        files.next();
        total += files.fileInfo().size();
    }
    return total;
}

QList<LibraryEntry> scanFolder(const QString& path, bool removeUnfinished) {
    QList<LibraryEntry> found;
    const QDir folder(path);
    const QFileInfoList listed =
        folder.entryInfoList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo& info : listed) {
        if (isUnfinishedImport(info.fileName())) {
            // Left by an import that never ended (the application was
            // killed): never an entry, only taking room.
            if (removeUnfinished) {
                info.isDir() ? (void)QDir(info.filePath()).removeRecursively()
                             : (void)QFile::remove(info.filePath());
            }
            continue;
        }
        if (info.isFile() && info.suffix() == QLatin1String("json")) {
            const QString id = folder.dirName() + QLatin1Char('/') + info.completeBaseName();
            if (std::optional<LibraryEntry> entry = readDescription(info.filePath(), id)) {
                found.push_back(*entry);
            }
        }
    }
    std::sort(found.begin(), found.end(), [](const LibraryEntry& a, const LibraryEntry& b) {
        return QString::localeAwareCompare(a.name, b.name) < 0;
    });
    return found;
}

} // namespace

ModelLibrary::ModelLibrary(ModelStore& store, QObject* parent)
    : QObject(parent), store_(store), folder_(store.applicationFolder()),
      models_(isPickerModel),
      refiners_([](const LibraryEntry& e) { return e.kind == ModelKind::sdxlRefiner; },
                QStringLiteral("No refiner")),
      vaes_([](const LibraryEntry& e) { return e.kind == ModelKind::vae; },
            QStringLiteral("The model's own VAE")) {
    progressTimer_.setInterval(kProgressIntervalMs);
    connect(&progressTimer_, &QTimer::timeout, this, &ModelLibrary::publishProgress);
    // The hub model comes and goes with downloads and deletes.
    connect(&store_, &ModelStore::stateChanged, this, &ModelLibrary::refresh);
    readChoice();
    refresh();
}

ModelLibrary::~ModelLibrary() {
    if (previewDownload_) {
        previewDownload_->disconnect(this);
        previewDownload_->cancel();
    }
    if (importWatcher_ != nullptr) {
        importCancel_->store(true);
        importWatcher_->disconnect(this);
        importWatcher_->waitForFinished();
    }
}

std::optional<LibraryEntry> ModelLibrary::entry(const QString& id) const {
    for (const LibraryEntry& candidate : entries_) {
        if (candidate.id == id) {
            return candidate;
        }
    }
    return std::nullopt;
}

void ModelLibrary::refresh() {
    QList<LibraryEntry> entries;
    if (store_.isInstalled()) {
        LibraryEntry hub;
        hub.id = QString::fromLatin1(kHubId);
        hub.name = QStringLiteral("Stable Diffusion 1.5");
        hub.kind = ModelKind::sd1;
        hub.size = weightBytes(store_.modelDirectory());
        hub.path = store_.modelDirectory();
        hub.isHub = true;
        entries.push_back(hub);
    }
    // Leftovers are only removed while no import is writing one.
    const bool removeUnfinished = importWatcher_ == nullptr;
    entries += scanFolder(libraryFolder(folder_, ModelKind::sd1), removeUnfinished);
    entries += scanFolder(libraryFolder(folder_, ModelKind::vae), removeUnfinished);
    if (entries != entries_) {
        entries_ = entries;
        models_.setEntries(entries_);
        refiners_.setEntries(entries_);
        vaes_.setEntries(entries_);
        emit entriesChanged();
    }
    settleChoice();
}

// Keeps the choice pointing at entries that exist and fit together.
void ModelLibrary::settleChoice() {
    const QString before = chosenId_ + QLatin1Char('|') + chosenRefinerId_ + QLatin1Char('|') +
                           chosenVaeId_;
    const std::optional<LibraryEntry> model = entry(chosenId_);
    if (!model || !isPickerModel(*model)) {
        const std::optional<LibraryEntry> hub = entry(QString::fromLatin1(kHubId));
        chosenId_ = hub ? hub->id : (models_.entryCount() > 0 ? models_.idAt(0) : QString());
    }
    const std::optional<LibraryEntry> refiner = entry(chosenRefinerId_);
    if (!refiner || refiner->kind != ModelKind::sdxlRefiner ||
        chosenKind() != ModelKind::sdxlBase) {
        chosenRefinerId_.clear();
    }
    const std::optional<LibraryEntry> vae = entry(chosenVaeId_);
    if (!vae || vae->kind != ModelKind::vae) {
        chosenVaeId_.clear();
    }
    const QString after = chosenId_ + QLatin1Char('|') + chosenRefinerId_ + QLatin1Char('|') +
                          chosenVaeId_;
    if (after != before) {
        writeChoice();
        emit choiceChanged();
    }
}

QString ModelLibrary::chosenName() const {
    const std::optional<LibraryEntry> model = entry(chosenId_);
    return model ? model->name : QString();
}

std::optional<ModelKind> ModelLibrary::chosenKind() const {
    const std::optional<LibraryEntry> model = entry(chosenId_);
    return model ? std::optional(model->kind) : std::nullopt;
}

QString ModelLibrary::chosenKindName() const {
    const std::optional<ModelKind> kind = chosenKind();
    return kind ? displayName(*kind) : QString();
}

bool ModelLibrary::chosenIsXL() const {
    const std::optional<ModelKind> kind = chosenKind();
    return kind && isXL(*kind);
}

int ModelLibrary::nativeWidth() const {
    const std::optional<ModelKind> kind = chosenKind();
    return kind ? nativeImageSize(*kind) : 0;
}

void ModelLibrary::choose(const QString& id) {
    const std::optional<LibraryEntry> model = entry(id);
    if (!model || !isPickerModel(*model) || id == chosenId_) {
        return;
    }
    chosenId_ = id;
    if (fetchAutomatically_ && isXL(model->kind)) {
        fetchXLPreviewDecoder();
    }
    // A refiner belongs with an SDXL base model: dropped on a change of kind.
    if (model->kind != ModelKind::sdxlBase) {
        chosenRefinerId_.clear();
    }
    writeChoice();
    emit choiceChanged();
}

void ModelLibrary::chooseRefiner(const QString& id) {
    const std::optional<LibraryEntry> refiner = entry(id);
    const bool fits = id.isEmpty() || (refiner && refiner->kind == ModelKind::sdxlRefiner &&
                                       chosenKind() == ModelKind::sdxlBase);
    if (!fits || id == chosenRefinerId_) {
        return;
    }
    chosenRefinerId_ = id;
    writeChoice();
    emit choiceChanged();
}

void ModelLibrary::chooseVae(const QString& id) {
    const std::optional<LibraryEntry> vae = entry(id);
    if (!(id.isEmpty() || (vae && vae->kind == ModelKind::vae)) || id == chosenVaeId_) {
        return;
    }
    chosenVaeId_ = id;
    writeChoice();
    emit choiceChanged();
}

std::optional<ModelChoice> ModelLibrary::choice() const {
    const std::optional<LibraryEntry> model = entry(chosenId_);
    if (!model) {
        return std::nullopt;
    }
    ModelChoice choice;
    choice.model = *model;
    choice.refiner = entry(chosenRefinerId_);
    choice.vae = entry(chosenVaeId_);
    choice.hubDirectory = store_.modelDirectory();
    if (hasXLPreviewDecoder()) {
        choice.xlPreviewDecoder = folder_ + QStringLiteral("/PreviewXL/PreviewDecoder.model");
    }
    if (model->isHub) {
        choice.preloaded = store_.pipeline();
    } else {
        choice.idle = store_.pipeline();
    }
    return choice;
}

QString ModelLibrary::choicePath() const {
    return folder_ + QStringLiteral("/Library.json");
}

void ModelLibrary::readChoice() {
    QFile file(choicePath());
    if (file.size() > 64 * 1024 || !file.open(QIODevice::ReadOnly)) {
        chosenId_ = QString::fromLatin1(kHubId);
        return;
    }
    const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
    chosenId_ = object.value(QStringLiteral("model")).toString(QString::fromLatin1(kHubId));
    chosenRefinerId_ = object.value(QStringLiteral("refiner")).toString();
    chosenVaeId_ = object.value(QStringLiteral("vae")).toString();
}

// Best effort: a choice that cannot be remembered still holds for this run.
void ModelLibrary::writeChoice() const {
    if (!QDir().mkpath(folder_)) {
        return;
    }
    QSaveFile file(choicePath());
    const QJsonObject object{{QStringLiteral("model"), chosenId_},
                             {QStringLiteral("refiner"), chosenRefinerId_},
                             {QStringLiteral("vae"), chosenVaeId_}};
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(object).toJson());
        file.commit();
    }
}

void ModelLibrary::setMessage(const QString& message) {
    if (message != message_ || message.isNull() != message_.isNull()) {
        message_ = message;
        emit messageChanged();
    }
}

void ModelLibrary::importModel(const QString& path) {
    if (importWatcher_ != nullptr) {
        setMessage(QStringLiteral("Another model is being imported; wait for it or cancel it."));
        return;
    }
    setMessage(QString());
    QHash<QString, QString> known;
    for (const LibraryEntry& existing : entries_) {
        if (!existing.sha256.isEmpty()) {
            known.insert(existing.sha256, existing.name);
        }
    }
    importCancel_ = std::make_shared<std::atomic<bool>>(false);
    pending_ = std::make_shared<PendingProgress>();
    ImportHooks hooks;
    hooks.inspect = inspect_;
    hooks.cancelled = [cancel = importCancel_] { return cancel->load(); };
    hooks.progress = [pending = pending_](qint64 done, qint64 total, const QString& detail) {
        std::lock_guard lock(pending->lock);
        pending->done = done;
        pending->total = total;
        pending->detail = detail;
    };
    importFraction_ = 0.0;
    importDetail_ = QStringLiteral("Checking \u201c%1\u201d\u2026").arg(QFileInfo(path).fileName());
    importWatcher_ = new QFutureWatcher<ImportResult>(this);
    connect(importWatcher_, &QFutureWatcher<ImportResult>::finished, this,
            &ModelLibrary::importDone);
    importWatcher_->setFuture(QtConcurrent::run(importIntoLibrary, path, folder_, known, hooks));
    progressTimer_.start();
    emit importingChanged();
    emit importProgressChanged();
}

void ModelLibrary::publishProgress() {
    if (!pending_) {
        return;
    }
    double fraction = 0.0;
    QString detail;
    {
        std::lock_guard lock(pending_->lock);
        if (pending_->detail.isEmpty()) {
            return;
        }
        fraction = pending_->total > 0 ? static_cast<double>(pending_->done) /
                                             static_cast<double>(pending_->total)
                                       : 0.0;
        detail = pending_->detail;
    }
    if (fraction != importFraction_ || detail != importDetail_) {
        importFraction_ = fraction;
        importDetail_ = detail;
        emit importProgressChanged();
    }
}

void ModelLibrary::cancelImport() {
    if (importCancel_) {
        importCancel_->store(true);
    }
}

void ModelLibrary::importDone() {
    const ImportResult result = importWatcher_->result();
    importWatcher_->deleteLater();
    importWatcher_ = nullptr;
    progressTimer_.stop();
    pending_.reset();
    importCancel_.reset();
    importFraction_ = 0.0;
    importDetail_.clear();
    refresh();
    // A note from while it ran ("another model is being imported") is over.
    setMessage(QString());
    QString id;
    if (result.entry) {
        id = result.entry->id;
        if (result.entry->kind == ModelKind::sdxlRefiner) {
            chooseRefiner(id);
        } else if (result.entry->kind == ModelKind::vae) {
            chooseVae(id);
        } else {
            choose(id);
        }
    } else if (!result.cancelled) {
        setMessage(result.failure);
    }
    emit importingChanged();
    emit importProgressChanged();
    emit importFinished(id);
}

void ModelLibrary::setEntriesInUse(const QStringList& ids) {
    entriesInUse_ = ids;
}

QList<LibraryEntry> ModelLibrary::removableEntries() const {
    QList<LibraryEntry> removable;
    for (const LibraryEntry& entry : entries_) {
        if (!entry.isHub) {
            removable.append(entry);
        }
    }
    return removable;
}

bool ModelLibrary::remove(const QString& id) {
    const std::optional<LibraryEntry> removed = entry(id);
    if (!removed || removed->isHub) {
        return false;
    }
    // A generation may still open its files (a network reloaded between
    // phases, the refiner, the VAE).
    if (isInUse(id)) {
        setMessage(QStringLiteral("\u201c%1\u201d is in use by the running generation; remove "
                                  "it when the generation is done.")
                       .arg(removed->name));
        return false;
    }
    // The description first: from then on the file is no entry, even if
    // removing the file itself fails halfway.
    const QFileInfo payload(removed->path);
    const QString description =
        payload.dir().filePath(id.section(QLatin1Char('/'), 1) + QStringLiteral(".json"));
    if (!QFile::remove(description)) {
        setMessage(QStringLiteral("Could not remove \u201c%1\u201d from the library.")
                       .arg(removed->name));
        return false;
    }
    if (payload.isDir()) {
        QDir(removed->path).removeRecursively();
    } else {
        QFile::remove(removed->path);
    }
    refresh();
    return true;
}

bool ModelLibrary::hasXLPreviewDecoder() const {
    return QFileInfo::exists(folder_ + QStringLiteral("/PreviewXL/.complete"));
}

void ModelLibrary::setFetchesPreviewDecoderAutomatically(bool automatic) {
    fetchAutomatically_ = automatic;
    if (automatic && chosenIsXL()) {
        fetchXLPreviewDecoder();
    }
}

void ModelLibrary::fetchXLPreviewDecoder() {
    if (previewDownload_ || hasXLPreviewDecoder()) {
        return;
    }
    auto* download = new ModelDownload(&network_, folder_ + QStringLiteral("/PreviewXL.partial"),
                                       folder_ + QStringLiteral("/PreviewXL"), this);
    download->setSources(
        {{ModelDownload::xlPreviewRepository(), ModelDownload::previewInstallMap()}});
    previewDownload_ = download;
    connect(download, &ModelDownload::finished, this,
            [this, download](ModelDownload::Outcome outcome, const QString&) {
                download->deleteLater();
                previewDownload_.clear();
                // A failure only means projected previews; the next choice
                // of an SDXL model tries again.
                emit xlPreviewDecoderFetched(outcome == ModelDownload::Outcome::installed);
            });
    download->start();
}

} // namespace dravelin
