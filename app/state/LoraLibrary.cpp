#include "state/LoraLibrary.h"

#include "pipeline/LoraFit.h"
#include "runtime/Safetensors.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <stdexcept>

namespace dravelin {

namespace {

const QString kExtension = QStringLiteral(".safetensors");

// Hashed as image tools hash LoRA files: the tensor data after the
// header, so that editing the header's metadata keeps the hash.
QString tensorDataHash(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 8) {
        return {};
    }
    const QByteArray lengthBytes = file.read(8);
    quint64 headerLength = 0;
    for (int i = 7; i >= 0; --i) {
        headerLength = (headerLength << 8) | static_cast<unsigned char>(lengthBytes[i]);
    }
    if (headerLength > static_cast<quint64>(file.size()) - 8 || !file.seek(8 + headerLength)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return {};
    }
    return QString::fromLatin1(hash.result().toHex().left(12));
}

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

QString LoraLibrary::importFile(const QString& path) {
    const QFileInfo source(path);
    const QString name = tagSafeName(source.completeBaseName());
    if (!source.fileName().endsWith(kExtension, Qt::CaseInsensitive) || !source.isFile()) {
        setErrorMessage(QStringLiteral("\"%1\" is not a LoRA file; choose a .safetensors file.")
                            .arg(source.fileName()));
        return {};
    }
    try {
        SafetensorsFile check(source.absoluteFilePath().toStdString());
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
    QDir().mkpath(folder());
    const QString destination = QDir(folder()).filePath(name + kExtension);
    const QString partial = destination + QStringLiteral(".partial");
    QFile::remove(partial);
    if (!QFile::copy(source.absoluteFilePath(), partial) || !QFile::rename(partial, destination)) {
        QFile::remove(partial);
        setErrorMessage(QStringLiteral("\"%1\" could not be copied into %2; is the disk full?")
                            .arg(source.fileName(), QDir::toNativeSeparators(folder())));
        return {};
    }
    QJsonObject description{{QStringLiteral("hash"), tensorDataHash(destination)},
                            {QStringLiteral("importedFrom"), source.absoluteFilePath()}};
    {
        QFile file(descriptionPath(folder(), name));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(QJsonDocument(description).toJson());
        }
    }
    setErrorMessage(QString());
    refresh();
    return name;
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
