#include "state/Generator.h"

#include "pipeline/HiresFix.h"
#include "pipeline/ImageSize.h"
#include "pipeline/SchedulerTable.h"
#include "pipeline/GenerationParameters.h"
#include "pipeline/SamplerChoice.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "state/ModelLoader.h"
#include "state/PngText.h"
#include "state/QtImageConversion.h"
#include "state/SeedText.h"
#include "state/ThreadPriority.h"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QSaveFile>

#include <chrono>
#include <cmath>
#include <stdexcept>

namespace dravelin {

// What one run was started with; later edits of the fields do not affect it.
struct Generator::Request {
    ModelChoice choice;
    std::shared_ptr<CancelFlag> flag;
    QString prompt;
    QString negativePrompt;
    uint32_t seed = 0;
    qint64 steps = 0;
    double guidance = 0.0;
    ImageInputRequest inputs;
    GenerationOptions options;
};

Generator::Generator(QObject* parent)
    : QObject(parent), imageInput_(this), seedText_(QString::number(QRandomGenerator::system()->generate())) {}

Generator::~Generator() {
    if (cancelFlag_) {
        cancelFlag_->set();
    }
    if (worker_.joinable()) {
        worker_.join();
    }
}

void Generator::setPrompt(const QString& prompt) {
    if (prompt != prompt_) {
        prompt_ = prompt;
        emit promptChanged();
    }
}

void Generator::setNegativePrompt(const QString& negativePrompt) {
    if (negativePrompt != negativePrompt_) {
        negativePrompt_ = negativePrompt;
        emit negativePromptChanged();
    }
}

void Generator::setSeedText(const QString& seedText) {
    if (seedText != seedText_) {
        seedText_ = seedText;
        emit seedTextChanged();
    }
}

void Generator::setSteps(qint64 steps) {
    if (steps != steps_) {
        steps_ = steps;
        emit stepsChanged();
    }
}

void Generator::setGuidance(double guidance) {
    if (guidance != guidance_) {
        guidance_ = guidance;
        emit guidanceChanged();
    }
}

std::optional<uint32_t> Generator::seed() const {
    return parseSeed(seedText_);
}

void Generator::setErrorMessage(const QString& message) {
    if (message != errorMessage_ || message.isNull() != errorMessage_.isNull()) {
        errorMessage_ = message;
        emit errorMessageChanged();
    }
}

void Generator::setStep(qint64 step) {
    if (step != step_) {
        step_ = step;
        emit stepChanged();
    }
}

void Generator::setTiming(double secondsPerStep, double secondsLeft) {
    if (secondsPerStep != secondsPerStep_ || secondsLeft != secondsLeft_) {
        secondsPerStep_ = secondsPerStep;
        secondsLeft_ = secondsLeft;
        emit timingChanged();
    }
}

void Generator::setPreview(const QImage& image) {
    preview_ = image;
    emit previewChanged();
}

void Generator::showResult(const GeneratedImage& result) {
    setPreview(result.image);
}

QString Generator::queueCaption() const {
    if (queueLength_ < 2) {
        return {};
    }
    return QStringLiteral("Image %1 of %2").arg(queuePosition_).arg(queueLength_);
}

void Generator::setQueue(int position, int length) {
    if (position != queuePosition_ || length != queueLength_) {
        queuePosition_ = position;
        queueLength_ = length;
        emit queueChanged();
    }
}

void Generator::setLoadingModel(bool loading) {
    if (loading != isLoadingModel_) {
        isLoadingModel_ = loading;
        emit isLoadingModelChanged();
    }
}

void Generator::generate(std::shared_ptr<StableDiffusionPipeline> pipeline,
                         const GenerationOptions& options) {
    ModelChoice choice;
    choice.model.id = QString::fromLatin1("hub");
    choice.model.name = QStringLiteral("Stable Diffusion 1.5");
    choice.model.isHub = true;
    choice.preloaded = std::move(pipeline);
    if (!choice.preloaded) {
        setErrorMessage(QStringLiteral("Generation failed: No model is loaded."));
        return;
    }
    generate(choice, options);
}

void Generator::generate(const ModelChoice& choice, const GenerationOptions& options) {
    if (isGenerating_) {
        return;
    }
    // The tags choose LoRAs; the text encoder never sees them.
    std::string untagged = prompt_.toStdString();
    try {
        takePromptLoras(untagged);
    } catch (const ParametersError& error) {
        setErrorMessage(QString::fromUtf8(error.what()));
        return;
    }
    const QString prompt = QString::fromStdString(untagged).trimmed();
    if (prompt.isEmpty()) {
        setErrorMessage(QStringLiteral("Enter a prompt first."));
        return;
    }
    const std::optional<uint32_t> parsed = seed();
    if (!parsed) {
        setErrorMessage(
            QStringLiteral("The seed must be a whole number between 0 and 4294967295."));
        return;
    }
    Request request{choice,
                    std::make_shared<CancelFlag>(),
                    prompt,
                    negativePrompt_,
                    *parsed,
                    steps_,
                    guidance_,
                    imageInput_.request(steps_),
                    options};
    request.options.imageCount = std::max(request.options.imageCount, 1);
    cancelFlag_ = request.flag;
    entriesInUse_ = {choice.model.id};
    for (const auto* entry : {&choice.refiner, &choice.vae}) {
        if (*entry) {
            entriesInUse_.append((*entry)->id);
        }
    }

    isGenerating_ = true;
    emit isGeneratingChanged();
    setStep(0);
    setQueue(1, request.options.imageCount);
    setTiming(0.0, 0.0);
    setPreview(QImage());
    setErrorMessage(QString());

    // The previous run's thread has delivered its result already; reap it.
    if (worker_.joinable()) {
        worker_.join();
    }
    worker_ =
        std::thread([this, request = std::move(request)]() mutable { run(std::move(request)); });
}

std::shared_ptr<const LoadedModel> Generator::modelFor(const ModelChoice& choice) {
    // The hub model's pipeline is told apart by identity: a reload (with
    // other LoRAs or another size, say) makes a new one.
    const QString key =
        choice.key() + QLatin1Char('|') +
        QString::number(reinterpret_cast<quintptr>(choice.preloaded.get()), 16);
    if (loaded_ && key == loadedKey_) {
        return loaded_;
    }
    // Let the previous model go before the next one loads.
    if (loaded_) {
        loaded_->pipeline->unloadResources();
    }
    if (choice.idle) {
        choice.idle->unloadResources();
    }
    loaded_.reset();
    loadedKey_.clear();
    QMetaObject::invokeMethod(this, [this] { setLoadingModel(true); }, Qt::QueuedConnection);
    struct Done {
        Generator* self;
        ~Done() {
            QMetaObject::invokeMethod(self, [s = self] { s->setLoadingModel(false); },
                                      Qt::QueuedConnection);
        }
    } done{this};
    loaded_ = std::make_shared<const LoadedModel>(loadChosenModel(choice));
    loadedKey_ = key;
    return loaded_;
}

void Generator::run(Request request) {
    // Below the window, so that its input and drawing never wait on the
    // compute threads (started from here, they inherit it).
    lowerThisThreadPriority(generationNiceIncrement);
    QString failure;
    int finished = 0;
    try {
        const std::shared_ptr<const LoadedModel> model = modelFor(request.choice);
        PipelineConfiguration configuration(request.prompt.toStdString());
        model->adjust(configuration);
        configuration.negativePrompt = request.negativePrompt.toStdString();
        configuration.imageCount = 1;
        configuration.stepCount = request.steps;
        configuration.guidanceScale = static_cast<float>(request.guidance);
        // SDXL conditions on its encoders' last-but-one states, always.
        if (!model->isXL) {
            configuration.clipSkip = request.options.clipSkip;
        }
        // Image inputs and the hires fix run on the Stable Diffusion 1.x/2.x
        // pipeline, whose encoder and denoising network they use directly.
        auto* imagePipeline = dynamic_cast<StableDiffusionPipeline*>(model->pipeline.get());
        if ((request.inputs.image || request.inputs.hires) && !imagePipeline) {
            throw std::runtime_error("This model cannot start from an image or use the hires "
                                     "fix in the window; clear the input image and turn the "
                                     "hires fix off.");
        }
        if (imagePipeline) {
            request.inputs.applyTo(configuration, *imagePipeline);
        }
        // Prompts copied from other tools mean here what they mean there:
        // emphasis, BREAK and prompts longer than one chunk.
        configuration.promptSyntax = PromptSyntax::emphasis;
        configuration.schedulerType = request.options.sampler.scheduler;
        configuration.schedulerTimestepSpacing = request.options.sampler.spacing;
        const std::shared_ptr<CancelFlag> flag = request.flag;
        const int count = request.options.imageCount;
        for (int index = 0; index < count && !flag->value(); ++index) {
            // Each image of a queue has the next seed, as image tools count.
            configuration.seed = request.seed + static_cast<uint32_t>(index);
            QMetaObject::invokeMethod(
                this,
                [this, index, count] {
                    setQueue(index + 1, count);
                    setStep(0);
                    setTiming(0.0, 0.0);
                },
                Qt::QueuedConnection);
            // The pace counts from the end of the first step on, so prompt
            // encoding does not inflate it; the first step alone gives a
            // first estimate.
            using Clock = std::chrono::steady_clock;
            const Clock::time_point started = Clock::now();
            Clock::time_point firstStepDone;
            const ProgressHandler handler = [&, this, flag](const PipelineProgress& progress) {
                    const qint64 step = progress.step;
                    const Clock::time_point now = Clock::now();
                    if (step == 0) {
                        firstStepDone = now;
                    }
                    const double perStep =
                        step == 0 ? std::chrono::duration<double>(now - started).count()
                                  : std::chrono::duration<double>(now - firstStepDone).count() /
                                        static_cast<double>(step);
                    const double left = perStep * static_cast<double>(std::max<int64_t>(
                                                      progress.stepCount - progress.step - 1, 0));
                    QMetaObject::invokeMethod(
                        this,
                        [this, step, perStep, left] {
                            setStep(step);
                            setTiming(perStep, left);
                        },
                        Qt::QueuedConnection);
                    if (step % 2 == 0 && step < progress.stepCount) {
                        // The fast preview path (never the full decoder); a
                        // preview that fails is skipped and the run goes on.
                        const GeneratedImages previews = progress.previewImages();
                        if (!previews.empty() && previews.front()) {
                            QImage preview = toQImage(*previews.front());
                            QMetaObject::invokeMethod(
                                this,
                                [this, preview = std::move(preview)] { setPreview(preview); },
                                Qt::QueuedConnection);
                        }
                    }
                    return !flag->value();
                };
            const GeneratedImages images =
                request.inputs.hires
                    ? generateWithHiresFix(*imagePipeline, configuration, *request.inputs.hires,
                                           handler)
                    : model->pipeline->generateImages(configuration, handler);
            // An image finished after Stop is dropped with the rest.
            if (flag->value() || images.empty() || !images.front()) {
                continue;
            }
            const Image& image = *images.front();
            // With the hires fix the parameters give the first pass's size,
            // as other tools write it: each latent side is the enlarged one
            // shrunk back (exact, since the enlarging rounded a whole side).
            int width = image.width();
            int height = image.height();
            if (request.inputs.hires) {
                const auto firstPass = [scale = request.inputs.hires->scale](int side) {
                    return static_cast<int>(
                        kLatentCell * std::lround(static_cast<double>(side / kLatentCell) /
                                                  static_cast<double>(scale)));
                };
                width = firstPass(width);
                height = firstPass(height);
            }
            GenerationParameters parameters = parametersOf(configuration, width, height);
            parameters.loras = request.options.loras;
            if (configuration.clipSkip != 1) {
                parameters.clipSkip = configuration.clipSkip;
            }
            if (const std::optional<HiresFix>& hires = request.inputs.hires) {
                // As other tools write it: the first pass's size, the
                // enlarged pass's strength.
                parameters.denoisingStrength = hires->strength;
                parameters.hiresUpscale = hires->scale;
                parameters.hiresSteps = hires->stepCount;
            } else if (request.inputs.image) {
                parameters.denoisingStrength = configuration.strength;
            }
            const QString modelName = request.options.modelName.isEmpty()
                                          ? request.choice.displayName()
                                          : request.options.modelName;
            const QString modelHash = request.choice.model.shortHash();
            if (!modelName.isEmpty()) {
                parameters.model = modelName.toStdString();
            }
            if (!modelHash.isEmpty()) {
                parameters.modelHash = modelHash.toStdString();
            }
            GeneratedImage result;
            result.id = QUuid::createUuid();
            result.image = toQImage(image);
            result.prompt = request.prompt;
            result.negativePrompt = request.negativePrompt;
            result.seed = configuration.seed;
            result.steps = request.steps;
            result.guidance = request.guidance;
            result.modelName = modelName;
            result.modelHash = modelHash;
            if (parameters.sampler) {
                result.sampler = QString::fromStdString(*parameters.sampler);
            }
            result.parameters = QString::fromStdString(writeGenerationParameters(parameters));
            ++finished;
            QMetaObject::invokeMethod(
                this,
                [this, result = std::move(result)]() mutable { imageFinished(std::move(result)); },
                Qt::QueuedConnection);
        }
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
        if (failure.isEmpty()) {
            failure = QStringLiteral("an unknown error occurred.");
        }
    }
    QStringList resident;
    if (loaded_) {
        for (const std::string& name : loaded_->pipeline->loadedModels()) {
            resident.append(QString::fromStdString(name));
        }
        resident.sort();
    }
    QMetaObject::invokeMethod(
        this,
        [this, request = std::move(request), finished, failure = std::move(failure),
         resident = std::move(resident)]() mutable {
            finish(std::move(request), finished, std::move(failure), std::move(resident));
        },
        Qt::QueuedConnection);
}

void Generator::imageFinished(GeneratedImage result) {
    const QImage image = result.image;
    results_.prepend(std::move(result));
    setPreview(image);
}

void Generator::finish(Request request, int finishedImages, QString failure,
                       QStringList resident) {
    if (resident != residentNetworks_) {
        residentNetworks_ = std::move(resident);
        emit residentNetworksChanged();
    }
    if (!failure.isNull()) {
        setErrorMessage(QStringLiteral("Generation failed: ") + failure);
    } else if (finishedImages == 0 && !request.flag->value()) {
        setErrorMessage(QStringLiteral("No image was produced."));
    }
    isGenerating_ = false;
    entriesInUse_.clear();
    emit isGeneratingChanged();
    setQueue(0, 0);
    cancelFlag_.reset();
}

void Generator::stop() {
    if (cancelFlag_) {
        cancelFlag_->set();
    }
}

bool Generator::save(const GeneratedImage& result, const QString& path) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(result.image) || bytes.isEmpty()) {
        setErrorMessage(QStringLiteral("Could not encode the PNG."));
        return false;
    }
    // Image tools read the settings back from this text.
    bytes = withPngText(bytes, "parameters", result.parametersText());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        setErrorMessage(QStringLiteral("Could not save the image: ") + file.errorString());
        return false;
    }
    return true;
}

void Generator::copy(const GeneratedImage& result) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) {
        return;
    }
    clipboard->clear();
    clipboard->setImage(result.image);
}

} // namespace dravelin
