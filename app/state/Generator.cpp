#include "state/Generator.h"

#include "pipeline/StableDiffusionPipeline.h"
#include "state/QtImageConversion.h"
#include "state/SeedText.h"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QSaveFile>

#include <chrono>

namespace dravelin {

// What one run was started with; later edits of the fields do not affect it.
struct Generator::Request {
    std::shared_ptr<StableDiffusionPipeline> pipeline;
    std::shared_ptr<CancelFlag> flag;
    QString prompt;
    QString negativePrompt;
    uint32_t seed = 0;
    qint64 steps = 0;
    double guidance = 0.0;
};

Generator::Generator(QObject* parent)
    : QObject(parent), seedText_(QString::number(QRandomGenerator::system()->generate())) {}

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

void Generator::generate(std::shared_ptr<StableDiffusionPipeline> pipeline) {
    if (isGenerating_) {
        return;
    }
    const QString prompt = prompt_.trimmed();
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
    Request request{std::move(pipeline),
                    std::make_shared<CancelFlag>(),
                    prompt,
                    negativePrompt_,
                    *parsed,
                    steps_,
                    guidance_};
    cancelFlag_ = request.flag;

    isGenerating_ = true;
    emit isGeneratingChanged();
    setStep(0);
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

void Generator::run(Request request) {
    std::optional<QImage> image;
    QString failure;
    try {
        if (!request.pipeline) {
            throw std::runtime_error("No model is loaded.");
        }
        PipelineConfiguration configuration(request.prompt.toStdString());
        configuration.negativePrompt = request.negativePrompt.toStdString();
        configuration.imageCount = 1;
        configuration.stepCount = request.steps;
        configuration.seed = request.seed;
        configuration.guidanceScale = static_cast<float>(request.guidance);
        // Prompts copied from other tools mean here what they mean there:
        // emphasis, BREAK and prompts longer than one chunk.
        configuration.promptSyntax = PromptSyntax::emphasis;
        const std::shared_ptr<CancelFlag> flag = request.flag;
        // The pace counts from the end of the first step on, so prompt
        // encoding does not inflate it; the first step alone gives a first
        // estimate.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point started = Clock::now();
        Clock::time_point firstStepDone;
        const GeneratedImages images = request.pipeline->generateImages(
            configuration, [&, this, flag](const PipelineProgress& progress) {
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
                            this, [this, preview = std::move(preview)] { setPreview(preview); },
                            Qt::QueuedConnection);
                    }
                }
                return !flag->value();
            });
        if (!images.empty() && images.front()) {
            image = toQImage(*images.front());
        }
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
        if (failure.isEmpty()) {
            failure = QStringLiteral("an unknown error occurred.");
        }
    }
    QMetaObject::invokeMethod(
        this,
        [this, request = std::move(request), image = std::move(image),
         failure = std::move(failure)]() mutable {
            finish(std::move(request), std::move(image), std::move(failure));
        },
        Qt::QueuedConnection);
}

void Generator::finish(Request request, std::optional<QImage> image, QString failure) {
    if (!failure.isNull()) {
        setErrorMessage(QStringLiteral("Generation failed: ") + failure);
    } else if (image) {
        if (!request.flag->value()) {
            GeneratedImage result{QUuid::createUuid(),    *image,       request.prompt,
                                  request.negativePrompt, request.seed, request.steps,
                                  request.guidance};
            results_.prepend(result);
            setPreview(*image);
        }
    } else if (!request.flag->value()) {
        setErrorMessage(QStringLiteral("No image was produced."));
    }
    isGenerating_ = false;
    emit isGeneratingChanged();
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
