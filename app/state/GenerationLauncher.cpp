#include "state/GenerationLauncher.h"

#include "pipeline/LoraFit.h"

#include <QFile>
#include "state/FastMode.h"
#include "state/GenerationSettings.h"
#include "state/Generator.h"
#include "state/LoraLibrary.h"
#include "state/ModelLoader.h"
#include "state/ModelStore.h"
#include "state/library/ModelLibrary.h"

namespace dravelin {

GenerationLauncher::GenerationLauncher(Generator& generator, GenerationSettings& settings,
                                       LoraLibrary& library, FastMode& fastMode, ModelStore& store,
                                       QObject* parent)
    : QObject(parent), generator_(generator), settings_(settings), library_(library),
      fastMode_(fastMode), store_(store) {
    connect(&store_, &ModelStore::stateChanged, this, [this] {
        if (!waiting_) {
            return;
        }
        if (store_.state().kind == ModelState::Kind::ready) {
            start();
        } else if (store_.state().kind != ModelState::Kind::loading) {
            setWaiting(false);
        }
    });
    connect(&store_, &ModelStore::lorasFailed, this, [this](const QString& message) {
        setWaiting(false);
        generator_.report(message);
    });
    connect(&fastMode_, &FastMode::installed, this, [this] {
        if (waiting_) {
            setWaiting(false);
            launch();
        }
    });
    connect(&fastMode_, &FastMode::enabledChanged, this, [this] {
        if (waiting_ && !fastMode_.enabled()) {
            setWaiting(false);
        }
    });
}

void GenerationLauncher::setWaiting(bool waiting) {
    if (waiting != waiting_) {
        waiting_ = waiting;
        emit waitingChanged();
    }
}

void GenerationLauncher::cancel() {
    setWaiting(false);
}

QString GenerationLauncher::modelName() const {
    if (models_ != nullptr) {
        if (const std::optional<ModelChoice> choice = models_->choice()) {
            return choice->displayName();
        }
    }
    return modelName_;
}

void GenerationLauncher::launch() {
    if (generator_.isGenerating() || waiting_) {
        return;
    }
    if (fastMode_.enabled() && fastMode_.isDownloading()) {
        // Starts once the fast mode's LoRA is in place.
        generator_.report(QString());
        setWaiting(true);
        return;
    }
    std::vector<LoraFile> files;
    std::vector<PromptLora> named;
    try {
        ResolvedLoras resolved = library_.resolve(generator_.prompt());
        files = std::move(resolved.files);
        named = std::move(resolved.named);
        if (const std::optional<LoraFile> fast = fastMode_.lora()) {
            files.push_back(*fast);
            named.push_back({FastMode::sourceFor(settings_.isXL())
                                 .repository.section(QLatin1Char('/'), 1)
                                 .toStdString(),
                             fast->scale,
                             {}});
        }
        named_ = std::move(named);
    } catch (const std::exception& error) {
        generator_.report(QString::fromUtf8(error.what()));
        return;
    }
    if (models_ != nullptr) {
        const std::optional<ModelChoice> choice = models_->choice();
        if (choice && !choice->model.isHub) {
            // A library model loads on the generating thread, with the LoRAs
            // merged and the networks sized as its choice says.
            try {
                checkLorasFit(QFile::encodeName(choice->model.path).toStdString(), files);
            } catch (const std::exception& error) {
                generator_.report(QString::fromUtf8(error.what()));
                return;
            }
            files_ = std::move(files);
            librarySize_ = sizeFor(ownImageSize(choice->model));
            start();
            return;
        }
    }
    try {
        checkLorasFit(store_.modelDirectory().toStdString(), files);
    } catch (const std::exception& error) {
        generator_.report(QString::fromUtf8(error.what()));
        return;
    }
    const QSize size = sizeFor(store_.ownImageSize());
    if (store_.setLorasAndSize(files, size.width(), size.height())) {
        generator_.report(QString());
        setWaiting(true); // the reload's `ready` starts it
        return;
    }
    start();
}

QSize GenerationLauncher::sizeFor(const std::optional<QSize>& own) const {
    // The networks are sized for the chosen size unless it is their own.
    // Models too small for any preset (test models) keep their own size.
    const QSize size(settings_.width(), settings_.height());
    if (!own || *own == size || own->width() < GenerationSettings::kSmallestSide) {
        return {};
    }
    return size;
}

void GenerationLauncher::start() {
    setWaiting(false);
    std::optional<ModelChoice> choice;
    if (models_ != nullptr) {
        choice = models_->choice();
    }
    const auto pipeline = store_.pipeline();
    if (!choice && !pipeline) {
        return;
    }
    GenerationOptions options;
    options.sampler = settings_.samplerChoice();
    options.width = settings_.width();
    options.height = settings_.height();
    options.imageCount = settings_.imageCount();
    options.clipSkip = settings_.clipSkip();
    options.loras = named_;
    options.modelName = modelName();
    if (choice && !choice->model.isHub) {
        choice->loras = files_;
        choice->imageSize = librarySize_;
    }
    if (choice) {
        generator_.generate(*choice, options);
    } else {
        generator_.generate(pipeline, options);
    }
}

} // namespace dravelin
