#include "state/LoraLibrary.h"

#include "pipeline/LoraFit.h"
#include "runtime/Safetensors.h"
#include "state/download/ByteCountText.h"
#include "state/library/ModelImport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtConcurrent/QtConcurrentRun>

#include <stdexcept>

namespace dravelin {

namespace {

const QString kExtension = QStringLiteral(".safetensors");
constexpr int kProgressIntervalMs = 30;

QString descriptionPath(const QString& folder, const QString& name) {
    return QDir(folder).filePath(name + QStringLiteral(".json"));
}

QString tagSafeName(QString name) {
    for (QChar& c : name) {
        if (QStringLiteral(":<>,\"\\\n").contains(c)) {
            c = QLatin1Char('_');
        }
    }
    return name.trimmed();
}

} // namespace

LoraLibrary::LoraLibrary(QString applicationFolder, QObject* parent)
    : QObject(parent), applicationFolder_(std::move(applicationFolder)) {
    // Copies an import left when the application ended during it.
    const QDir directory(folder());
    for (const QFileInfo& info : directory.entryInfoList(QDir::Files | QDir::Hidden)) {
        if (isUnfinishedImport(info.fileName())) {
            QFile::remove(info.filePath());
        }
    }
    progressTimer_.setInterval(kProgressIntervalMs);
    connect(&progressTimer_, &QTimer::timeout, this, &LoraLibrary::publishProgress);
    refresh();
}

QString LoraLibrary::folder() const {
    return applicationFolder_ + QStringLiteral("/LoRA");
}

void LoraLibrary::refresh() {
    QList<LoraEntry> entries;
    const QDir directory(folder());
    for (const QFileInfo& info :
         directory.entryInfoList({QStringLiteral("*.safetensors")}, QDir::Files, QDir::Name)) {
        const QString name = info.completeBaseName();
        if (!isWritableLoraName(name.toStdString())) {
            continue; // not nameable in a prompt; never written by import
        }
        QString hash;
        QFile description(descriptionPath(folder(), name));
        if (description.open(QIODevice::ReadOnly)) {
            hash = QJsonDocument::fromJson(description.readAll())
                       .object()
                       .value(QStringLiteral("hash"))
                       .toString();
        }
        entries.append({name, info.absoluteFilePath(), hash});
    }
    entries_ = entries;
    // A chosen file that went away is no longer chosen.
    const qsizetype before = chosen_.size();
    chosen_.removeIf([this](const ChosenLora& lora) { return !entry(lora.name); });
    emit entriesChanged();
    if (chosen_.size() != before) {
        emit chosenChanged();
    }
}

QStringList LoraLibrary::names() const {
    QStringList names;
    for (const LoraEntry& entry : entries_) {
        names.append(entry.name);
    }
    return names;
}

std::optional<LoraEntry> LoraLibrary::entry(const QString& name) const {
    for (const LoraEntry& entry : entries_) {
        if (entry.name == name) {
            return entry;
        }
    }
    return std::nullopt;
}

void LoraLibrary::setErrorMessage(const QString& message) {
    if (message != errorMessage_ || message.isNull() != errorMessage_.isNull()) {
        errorMessage_ = message;
        emit errorMessageChanged();
    }
}

LoraLibrary::~LoraLibrary() {
    if (importWatcher_ != nullptr) {
        importCancel_->store(true);
        importWatcher_->disconnect(this);
        importWatcher_->waitForFinished();
    }
}

QString LoraLibrary::checkedImportName(const QString& path) {
    const QFileInfo source(path);
    const QString name = tagSafeName(source.completeBaseName());
    if (!source.fileName().endsWith(kExtension, Qt::CaseInsensitive) || !source.isFile()) {
        setErrorMessage(QStringLiteral("\"%1\" is not a LoRA file; choose a .safetensors file.")
                            .arg(source.fileName()));
        return {};
    }
    try {
        SafetensorsFile check(QFile::encodeName(source.absoluteFilePath()).toStdString());
    } catch (const std::exception& error) {
        setErrorMessage(QStringLiteral("\"%1\" cannot be read as safetensors: %2")
                            .arg(source.fileName(), QString::fromUtf8(error.what())));
        return {};
    }
    if (name.isEmpty() || entry(name)) {
        setErrorMessage(QStringLiteral("The library already has a LoRA named \"%1\"; rename the "
                                       "file to import it beside that one.")
                            .arg(name));
        return {};
    }
    return name;
}

void LoraLibrary::importDone(const LoraImportResult& result) {
    if (!result.failure.isEmpty()) {
        setErrorMessage(result.failure);
    } else if (!result.cancelled) {
        setErrorMessage(QString());
    }
    refresh();
}

QString LoraLibrary::importFile(const QString& path) {
    if (importWatcher_ != nullptr) {
        setErrorMessage(QStringLiteral("Another LoRA is being imported; wait for it or cancel it."));
        return {};
    }
    const QString name = checkedImportName(path);
    if (name.isEmpty()) {
        return {};
    }
    const LoraImportResult result =
        importLoraFile(QFileInfo(path).absoluteFilePath(), folder(), name, {});
    importDone(result);
    return result.name;
}

void LoraLibrary::startImport(const QString& path) {
    if (importWatcher_ != nullptr) {
        setErrorMessage(QStringLiteral("Another LoRA is being imported; wait for it or cancel it."));
        return;
    }
    const QString name = checkedImportName(path);
    if (name.isEmpty()) {
        emit importFinished(QString());
        return;
    }
    setErrorMessage(QString());
    importCancel_ = std::make_shared<std::atomic<bool>>(false);
    importBytes_ = std::make_shared<ImportBytes>();
    LoraImportHooks hooks;
    hooks.cancelled = [cancel = importCancel_] { return cancel->load(); };
    hooks.progress = [bytes = importBytes_](qint64 done, qint64 total) {
        bytes->done.store(done);
        bytes->total.store(total);
    };
    importFraction_ = 0.0;
    importDetail_ = QStringLiteral("Copying \u201c%1\u201d\u2026").arg(QFileInfo(path).fileName());
    importWatcher_ = new QFutureWatcher<LoraImportResult>(this);
    connect(importWatcher_, &QFutureWatcher<LoraImportResult>::finished, this, [this] {
        const LoraImportResult result = importWatcher_->result();
        importWatcher_->deleteLater();
        importWatcher_ = nullptr;
        progressTimer_.stop();
        importCancel_.reset();
        importBytes_.reset();
        importFraction_ = 0.0;
        importDetail_.clear();
        importDone(result);
        emit importingChanged();
        emit importProgressChanged();
        emit importFinished(result.name);
    });
    importWatcher_->setFuture(QtConcurrent::run(importLoraFile,
                                                QFileInfo(path).absoluteFilePath(), folder(),
                                                name, hooks));
    progressTimer_.start();
    emit importingChanged();
    emit importProgressChanged();
}

void LoraLibrary::publishProgress() {
    if (!importBytes_) {
        return;
    }
    const qint64 total = importBytes_->total.load();
    const qint64 done = importBytes_->done.load();
    const double fraction =
        total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 0.0;
    if (fraction != importFraction_) {
        importFraction_ = fraction;
        importDetail_ = QStringLiteral("Copying \u2014 %1 of %2")
                            .arg(byteCountText(done), byteCountText(total));
        emit importProgressChanged();
    }
}

void LoraLibrary::cancelImport() {
    if (importCancel_) {
        importCancel_->store(true);
    }
}

void LoraLibrary::setModelDirectory(const QString& directory) {
    modelDirectory_ = directory;
}

bool LoraLibrary::choose(const QString& name, double weight) {
    const std::optional<LoraEntry> found = entry(name);
    if (!found) {
        setErrorMessage(QStringLiteral("There is no LoRA \"%1\" in the library.").arg(name));
        return false;
    }
    for (ChosenLora& lora : chosen_) {
        if (lora.name == name) {
            if (lora.weight != weight) {
                lora.weight = weight;
                emit chosenChanged();
            }
            return true;
        }
    }
    if (!modelDirectory_.isEmpty()) {
        try {
            checkLorasFit(modelDirectory_.toStdString(),
                          {{found->path.toStdString(), static_cast<float>(weight)}});
        } catch (const std::exception& error) {
            setErrorMessage(QString::fromUtf8(error.what()));
            return false;
        }
    }
    setErrorMessage(QString());
    chosen_.append({name, weight});
    emit chosenChanged();
    return true;
}

void LoraLibrary::unchoose(const QString& name) {
    if (chosen_.removeIf([&](const ChosenLora& lora) { return lora.name == name; }) > 0) {
        emit chosenChanged();
    }
}

void LoraLibrary::clearChosen() {
    if (!chosen_.isEmpty()) {
        chosen_.clear();
        emit chosenChanged();
    }
}

ResolvedLoras LoraLibrary::resolve(const QString& prompt) const {
    std::string text = prompt.toStdString();
    std::vector<PromptLora> tags;
    try {
        tags = takePromptLoras(text);
    } catch (const ParametersError& error) {
        throw std::runtime_error(error.what());
    }
    QList<ChosenLora> wanted = chosen_;
    for (const PromptLora& tag : tags) {
        const QString name = QString::fromStdString(tag.name);
        if (!entry(name)) {
            throw std::runtime_error(
                "The prompt names the LoRA \"" + tag.name +
                "\", which is not in the LoRA library; import it or remove the tag.");
        }
        wanted.removeIf([&](const ChosenLora& lora) { return lora.name == name; });
        wanted.append({name, tag.weight});
    }
    ResolvedLoras resolved;
    for (const ChosenLora& lora : wanted) {
        const LoraEntry found = *entry(lora.name);
        resolved.files.push_back({found.path.toStdString(), static_cast<float>(lora.weight)});
        resolved.named.push_back(
            {lora.name.toStdString(), static_cast<float>(lora.weight), found.hash.toStdString()});
    }
    return resolved;
}

} // namespace dravelin
