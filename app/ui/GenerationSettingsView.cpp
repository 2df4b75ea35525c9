#include "ui/GenerationSettingsView.h"

#include "state/SessionState.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace dravelin {

namespace {

QString askWithDialog(QWidget* parent) {
    return QFileDialog::getOpenFileName(
        parent, QStringLiteral("Import a LoRA"),
        QStandardPaths::writableLocation(QStandardPaths::DownloadLocation),
        QStringLiteral("LoRA weights (*.safetensors)"));
}

QSpinBox* sideBox(const QString& name, QWidget* parent) {
    auto* box = new QSpinBox(parent);
    box->setObjectName(name);
    box->setRange(GenerationSettings::kSmallestSide, GenerationSettings::kLargestSide);
    box->setSingleStep(8);
    box->setSuffix(QStringLiteral(" px"));
    return box;
}

} // namespace

GenerationSettingsView::GenerationSettingsView(SessionState& session, QWidget* parent)
    : QWidget(parent), askLoraFile(askWithDialog), session_(session) {
    GenerationSettings& settings = session_.settings();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    auto* samplerRow = new QHBoxLayout();
    samplerRow->addWidget(new QLabel(QStringLiteral("Sampler"), this));
    sampler_ = new QComboBox(this);
    sampler_->setObjectName(QStringLiteral("sampler"));
    sampler_->addItems(settings.samplerNames());
    sampler_->setCurrentText(settings.sampler());
    samplerRow->addWidget(sampler_, 1);
    layout->addLayout(samplerRow);
    connect(sampler_, &QComboBox::currentTextChanged, &settings, &GenerationSettings::setSampler);
    connect(&settings, &GenerationSettings::samplerChanged, sampler_,
            [this, &settings] { sampler_->setCurrentText(settings.sampler()); });

    auto* sizeRow = new QHBoxLayout();
    sizeRow->addWidget(new QLabel(QStringLiteral("Size"), this));
    size_ = new QComboBox(this);
    size_->setObjectName(QStringLiteral("size"));
    sizeRow->addWidget(size_, 1);
    layout->addLayout(sizeRow);
    customSize_ = new QWidget(this);
    auto* customRow = new QHBoxLayout(customSize_);
    customRow->setContentsMargins(0, 0, 0, 0);
    width_ = sideBox(QStringLiteral("width"), customSize_);
    height_ = sideBox(QStringLiteral("height"), customSize_);
    customRow->addWidget(width_, 1);
    customRow->addWidget(new QLabel(QStringLiteral("\u00d7"), customSize_));
    customRow->addWidget(height_, 1);
    layout->addWidget(customSize_);
    connect(size_, &QComboBox::activated, this, [this, &settings](int index) {
        if (index < settings.sizePresets().size()) {
            settings.chooseSizePreset(index);
        } else {
            customSize_->setVisible(true);
        }
    });
    const auto sideEdited = [this, &settings] {
        if (!updating_) {
            // Typed sides snap to the multiple of 8 below.
            settings.setSize(width_->value() / 8 * 8, height_->value() / 8 * 8);
        }
    };
    connect(width_, &QSpinBox::editingFinished, this, sideEdited);
    connect(height_, &QSpinBox::editingFinished, this, sideEdited);
    connect(&settings, &GenerationSettings::sizeChanged, this, &GenerationSettingsView::followSize);
    connect(&settings, &GenerationSettings::familyChanged, this, &GenerationSettingsView::followSize);
    followSize();

    auto* countRow = new QHBoxLayout();
    imageCount_ = new QSpinBox(this);
    imageCount_->setObjectName(QStringLiteral("imageCount"));
    imageCount_->setRange(1, GenerationSettings::kMostImages);
    imageCount_->setPrefix(QStringLiteral("Images: "));
    imageCount_->setValue(settings.imageCount());
    countRow->addWidget(imageCount_, 1);
    connect(imageCount_, &QSpinBox::valueChanged, &settings, &GenerationSettings::setImageCount);
    connect(&settings, &GenerationSettings::imageCountChanged, imageCount_,
            [this, &settings] { imageCount_->setValue(settings.imageCount()); });
    // SD 1.x only: SDXL conditions on its encoders' last-but-one states.
    clipSkip_ = new QSpinBox(this);
    clipSkip_->setObjectName(QStringLiteral("clipSkip"));
    clipSkip_->setRange(1, GenerationSettings::kMostClipSkip);
    clipSkip_->setPrefix(QStringLiteral("Clip skip: "));
    clipSkip_->setValue(settings.clipSkip());
    clipSkip_->setEnabled(!settings.isXL());
    countRow->addWidget(clipSkip_);
    connect(clipSkip_, &QSpinBox::valueChanged, &settings, &GenerationSettings::setClipSkip);
    connect(&settings, &GenerationSettings::clipSkipChanged, clipSkip_,
            [this, &settings] { clipSkip_->setValue(settings.clipSkip()); });
    connect(&settings, &GenerationSettings::familyChanged, clipSkip_,
            [this, &settings] { clipSkip_->setEnabled(!settings.isXL()); });
    fastMode_ = new QCheckBox(QStringLiteral("Fast mode"), this);
    fastMode_->setObjectName(QStringLiteral("fastMode"));
    fastMode_->setToolTip(QStringLiteral("The latent-consistency LoRA, the LCM sampler, 4 steps "
                                         "and guidance 1; downloaded on first use."));
    countRow->addWidget(fastMode_);
    layout->addLayout(countRow);
    connect(fastMode_, &QCheckBox::toggled, &session_.fastMode(), &FastMode::setEnabled);

    fastDownload_ = new QWidget(this);
    auto* downloadRow = new QHBoxLayout(fastDownload_);
    downloadRow->setContentsMargins(0, 0, 0, 0);
    auto* downloadText = new QVBoxLayout();
    fastProgress_ = new QProgressBar(fastDownload_);
    fastProgress_->setRange(0, 1000);
    fastProgress_->setTextVisible(false);
    fastDetail_ = new QLabel(fastDownload_);
    fastDetail_->setObjectName(QStringLiteral("fastDetail"));
    fastDetail_->setForegroundRole(QPalette::PlaceholderText);
    fastDetail_->setWordWrap(true);
    downloadText->addWidget(fastProgress_);
    downloadText->addWidget(fastDetail_);
    downloadRow->addLayout(downloadText, 1);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), fastDownload_);
    cancel->setObjectName(QStringLiteral("cancelFastDownload"));
    downloadRow->addWidget(cancel);
    layout->addWidget(fastDownload_);
    connect(cancel, &QPushButton::clicked, &session_.fastMode(), &FastMode::cancelDownload);
    connect(&session_.fastMode(), &FastMode::enabledChanged, this,
            &GenerationSettingsView::followFastMode);
    connect(&session_.fastMode(), &FastMode::downloadChanged, this,
            &GenerationSettingsView::followFastMode);
    connect(&session_.fastMode(), &FastMode::errorMessageChanged, this,
            &GenerationSettingsView::followFastMode);

    auto* loraRow = new QHBoxLayout();
    loraRow->addWidget(new QLabel(QStringLiteral("LoRA"), this));
    loraWeight_ = new QDoubleSpinBox(this);
    loraWeight_->setObjectName(QStringLiteral("loraWeight"));
    loraWeight_->setRange(-2.0, 2.0);
    loraWeight_->setSingleStep(0.05);
    loraWeight_->setValue(1.0);
    loraWeight_->setPrefix(QStringLiteral("Weight "));
    loraRow->addWidget(loraWeight_, 1);
    auto* import = new QPushButton(QStringLiteral("Import\u2026"), this);
    import->setObjectName(QStringLiteral("importLora"));
    importLora_ = import;
    loraRow->addWidget(import);
    layout->addLayout(loraRow);
    // A large LoRA file copies on a worker thread, with progress and Cancel.
    loraImport_ = new QWidget(this);
    auto* importRow = new QHBoxLayout(loraImport_);
    importRow->setContentsMargins(0, 0, 0, 0);
    auto* importText = new QVBoxLayout();
    loraProgress_ = new QProgressBar(loraImport_);
    loraProgress_->setObjectName(QStringLiteral("loraImportProgress"));
    loraProgress_->setRange(0, 1000);
    loraProgress_->setTextVisible(false);
    loraDetail_ = new QLabel(loraImport_);
    loraDetail_->setObjectName(QStringLiteral("loraImportDetail"));
    loraDetail_->setForegroundRole(QPalette::PlaceholderText);
    importText->addWidget(loraProgress_);
    importText->addWidget(loraDetail_);
    importRow->addLayout(importText, 1);
    auto* cancelImport = new QPushButton(QStringLiteral("Cancel"), loraImport_);
    cancelImport->setObjectName(QStringLiteral("cancelLoraImport"));
    importRow->addWidget(cancelImport);
    layout->addWidget(loraImport_);
    loras_ = new QListWidget(this);
    loras_->setObjectName(QStringLiteral("loras"));
    loras_->setFixedHeight(64);
    layout->addWidget(loras_);
    LoraLibrary& library = session_.library();
    connect(import, &QPushButton::clicked, this, [this, &library] {
        const QString path = askLoraFile(this);
        if (!path.isEmpty()) {
            library.startImport(path);
        }
    });
    connect(cancelImport, &QPushButton::clicked, &library, &LoraLibrary::cancelImport);
    connect(&library, &LoraLibrary::importingChanged, this,
            &GenerationSettingsView::followLoraImport);
    connect(&library, &LoraLibrary::importProgressChanged, this,
            &GenerationSettingsView::followLoraImport);
    followLoraImport();
    connect(loras_, &QListWidget::itemChanged, this, [this, &library](QListWidgetItem* item) {
        if (updating_) {
            return;
        }
        if (item->checkState() == Qt::Checked) {
            library.choose(item->text(), loraWeight_->value());
        } else {
            library.unchoose(item->text());
        }
        followLibrary();
    });
    connect(loras_, &QListWidget::currentTextChanged, this, [this, &library](const QString& name) {
        for (const ChosenLora& lora : library.chosen()) {
            if (lora.name == name) {
                loraWeight_->setValue(lora.weight);
            }
        }
    });
    connect(loraWeight_, &QDoubleSpinBox::valueChanged, this, [this, &library](double weight) {
        QListWidgetItem* item = loras_->currentItem();
        if (item != nullptr && item->checkState() == Qt::Checked) {
            library.choose(item->text(), weight);
        }
    });
    connect(&library, &LoraLibrary::entriesChanged, this, &GenerationSettingsView::followLibrary);
    connect(&library, &LoraLibrary::chosenChanged, this, &GenerationSettingsView::followLibrary);
    connect(&library, &LoraLibrary::errorMessageChanged, this, &GenerationSettingsView::followFastMode);

    message_ = new QLabel(this);
    message_->setObjectName(QStringLiteral("settingsMessage"));
    message_->setWordWrap(true);
    layout->addWidget(message_);
    connect(&session_.reader(), &SettingsReader::noticeChanged, this,
            &GenerationSettingsView::followFastMode);
    connect(&session_.launcher(), &GenerationLauncher::waitingChanged, this,
            &GenerationSettingsView::followFastMode);
    followLibrary();
    followFastMode();
}

void GenerationSettingsView::followSize() {
    GenerationSettings& settings = session_.settings();
    updating_ = true;
    size_->clear();
    size_->addItems(settings.sizePresetNames());
    size_->addItem(QStringLiteral("Custom\u2026"));
    const int preset = settings.sizePreset();
    size_->setCurrentIndex(preset >= 0 ? preset : size_->count() - 1);
    customSize_->setVisible(preset < 0);
    width_->setValue(settings.width());
    height_->setValue(settings.height());
    updating_ = false;
}

void GenerationSettingsView::followLibrary() {
    LoraLibrary& library = session_.library();
    updating_ = true;
    const QString current = loras_->currentItem() ? loras_->currentItem()->text() : QString();
    loras_->clear();
    for (const QString& name : library.names()) {
        auto* item = new QListWidgetItem(name, loras_);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        bool chosen = false;
        for (const ChosenLora& lora : library.chosen()) {
            if (lora.name == name) {
                chosen = true;
                item->setText(name);
                item->setToolTip(QStringLiteral("Weight %1").arg(lora.weight));
            }
        }
        item->setCheckState(chosen ? Qt::Checked : Qt::Unchecked);
        if (name == current) {
            loras_->setCurrentItem(item);
        }
    }
    if (library.names().isEmpty()) {
        loras_->addItem(QStringLiteral("No LoRAs yet: Import\u2026 adds one"));
        loras_->item(0)->setFlags(Qt::NoItemFlags);
    }
    updating_ = false;
}

void GenerationSettingsView::followLoraImport() {
    const LoraLibrary& library = session_.library();
    loraImport_->setVisible(library.isImporting());
    importLora_->setEnabled(!library.isImporting());
    loraProgress_->setValue(static_cast<int>(library.importFraction() * 1000.0));
    loraDetail_->setText(library.importDetail());
}

void GenerationSettingsView::followFastMode() {
    FastMode& fast = session_.fastMode();
    if (fastMode_->isChecked() != fast.enabled()) {
        fastMode_->setChecked(fast.enabled());
    }
    fastDownload_->setVisible(fast.isDownloading());
    fastProgress_->setValue(static_cast<int>(fast.downloadFraction() * 1000.0));
    fastDetail_->setText(fast.downloadDetail());
    // One message line: a refusal first, then what reading settings took.
    QString message = fast.errorMessage();
    bool error = !message.isEmpty();
    if (message.isEmpty()) {
        message = session_.library().errorMessage();
        error = !message.isEmpty();
    }
    if (message.isEmpty() && session_.launcher().isWaiting()) {
        message = fast.isDownloading()
                      ? QStringLiteral("Generating starts once the fast mode's LoRA is here.")
                      : QStringLiteral("Merging the LoRAs into the model\u2026");
    }
    if (message.isEmpty()) {
        message = session_.reader().notice();
    }
    message_->setText(message);
    message_->setStyleSheet(error ? QStringLiteral("color: #c62828;") : QString());
    message_->setVisible(!message.isEmpty());
}

} // namespace dravelin
