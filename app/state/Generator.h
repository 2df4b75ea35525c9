#pragma once

#include "state/CancelFlag.h"
#include "state/GeneratedImage.h"
#include "state/ImageInput.h"
#include "state/GenerationOptions.h"
#include "state/ResultsModel.h"
#include "state/library/ModelChoice.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

namespace dravelin {

class StableDiffusionPipeline;
struct LoadedModel;

// The state behind the main screen: what the user typed, the one generation
// that may be running (on a worker thread), its progress and preview, and the
// results since launch, newest first. Every published property changes on
// the GUI thread only.
class Generator : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString prompt READ prompt WRITE setPrompt NOTIFY promptChanged)
    Q_PROPERTY(QString negativePrompt READ negativePrompt WRITE setNegativePrompt NOTIFY
                   negativePromptChanged)
    Q_PROPERTY(QString seedText READ seedText WRITE setSeedText NOTIFY seedTextChanged)
    Q_PROPERTY(qint64 steps READ steps WRITE setSteps NOTIFY stepsChanged)
    Q_PROPERTY(double guidance READ guidance WRITE setGuidance NOTIFY guidanceChanged)
    Q_PROPERTY(bool isGenerating READ isGenerating NOTIFY isGeneratingChanged)
    // A generation with a model not loaded yet loads it first.
    Q_PROPERTY(bool isLoadingModel READ isLoadingModel NOTIFY isLoadingModelChanged)
    Q_PROPERTY(qint64 step READ step NOTIFY stepChanged)
    Q_PROPERTY(int queuePosition READ queuePosition NOTIFY queueChanged)
    Q_PROPERTY(int queueLength READ queueLength NOTIFY queueChanged)
    Q_PROPERTY(QString queueCaption READ queueCaption NOTIFY queueChanged)
    Q_PROPERTY(double secondsPerStep READ secondsPerStep NOTIFY timingChanged)
    Q_PROPERTY(double secondsLeft READ secondsLeft NOTIFY timingChanged)
    Q_PROPERTY(QImage preview READ preview NOTIFY previewChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(QStringList residentNetworks READ residentNetworks NOTIFY residentNetworksChanged)

public:
    explicit Generator(QObject* parent = nullptr);
    // Stops a running generation and waits for its worker to end.
    ~Generator() override;

    QString prompt() const { return prompt_; }
    void setPrompt(const QString& prompt);
    QString negativePrompt() const { return negativePrompt_; }
    void setNegativePrompt(const QString& negativePrompt);
    QString seedText() const { return seedText_; }
    void setSeedText(const QString& seedText);
    qint64 steps() const { return steps_; }
    void setSteps(qint64 steps);
    double guidance() const { return guidance_; }
    void setGuidance(double guidance);

    bool isGenerating() const { return isGenerating_; }
    // The library entries (model, refiner, VAE) the running generation reads
    // from; empty while nothing runs. Their files must stay until it ends.
    const QStringList& entriesInUse() const { return entriesInUse_; }
    bool isLoadingModel() const { return isLoadingModel_; }
    qint64 step() const { return step_; }
    // The image of the running queue being made (from 1) and how many the
    // queue holds; 0 when nothing runs.
    int queuePosition() const { return queuePosition_; }
    int queueLength() const { return queueLength_; }
    // "Image 2 of 5" while a queue of several runs, else empty.
    QString queueCaption() const;
    // The running generation's mean time per denoising step so far and the
    // time its remaining steps will take at that pace; 0 until the first
    // step is done.
    double secondsPerStep() const { return secondsPerStep_; }
    double secondsLeft() const { return secondsLeft_; }
    // Null when there is nothing to show.
    QImage preview() const { return preview_; }
    const QList<GeneratedImage>& results() const { return results_.results(); }
    // The same results for views; a new result is one row inserted at 0.
    ResultsModel* resultsModel() { return &results_; }
    // Null when there is no message.
    QString errorMessage() const { return errorMessage_; }
    // The networks the loaded model keeps in memory between generations, by
    // bundle name ("Unet.model"), as the last generation left them; empty
    // before the first.
    const QStringList& residentNetworks() const { return residentNetworks_; }
    // The input image, its mask and the hires option the next generation
    // uses.
    ImageInput* imageInput() { return &imageInput_; }
    // The seed the text gives, if any.
    std::optional<uint32_t> seed() const;

    // Validates prompt and seed, then runs the queue of generations the
    // options ask for on a worker thread with the chosen model, loading it
    // there first unless it is the one the last generation used (the
    // previous model is then let go, so two models never fill memory
    // together); nothing is reloaded between the queue's images, and each
    // image joins the results as soon as it is done. "<lora:…>" tags are
    // taken out of the prompt the engine sees (the caller merges those
    // LoRAs). Does nothing while a queue runs.
    void generate(const ModelChoice& choice, const GenerationOptions& options = {});
    // The same with an SD 1.5 pipeline already built (the hub model's).
    void generate(std::shared_ptr<StableDiffusionPipeline> pipeline,
                  const GenerationOptions& options = {});
    // Asks the running generation to stop after its current step; the rest
    // of the queue is dropped.
    void stop();
    // Shows a message in errorMessage (null clears it).
    void report(const QString& message) { setErrorMessage(message); }
    // Shows a finished result in the preview.
    void showResult(const GeneratedImage& result);

    // Writes the image as a PNG; replaces `path` only when the whole file is
    // written. Failures are reported in errorMessage; returns success.
    bool save(const GeneratedImage& result, const QString& path);
    // Puts the full image on the clipboard (needs a GUI application).
    void copy(const GeneratedImage& result);

signals:
    void promptChanged();
    void negativePromptChanged();
    void seedTextChanged();
    void stepsChanged();
    void guidanceChanged();
    void isGeneratingChanged();
    void isLoadingModelChanged();
    void stepChanged();
    void queueChanged();
    void timingChanged();
    void previewChanged();
    void errorMessageChanged();
    void residentNetworksChanged();

private:
    struct Request;
    void setErrorMessage(const QString& message);
    void setStep(qint64 step);
    void setTiming(double secondsPerStep, double secondsLeft);
    void setPreview(const QImage& image);
    void setLoadingModel(bool loading);
    // The loaded model for a choice, on the generating thread.
    std::shared_ptr<const LoadedModel> modelFor(const ModelChoice& choice);
    void run(Request request);
    void setQueue(int position, int length);
    void imageFinished(GeneratedImage result);
    void finish(Request request, int finishedImages, QString failure, QStringList resident);

    ImageInput imageInput_;
    QString prompt_;
    QString negativePrompt_;
    QString seedText_;
    qint64 steps_ = 20;
    double guidance_ = 7.5;
    bool isGenerating_ = false;
    bool isLoadingModel_ = false;
    qint64 step_ = 0;
    int queuePosition_ = 0;
    int queueLength_ = 0;
    double secondsPerStep_ = 0.0;
    double secondsLeft_ = 0.0;
    QImage preview_;
    ResultsModel results_;
    QString errorMessage_;
    QStringList residentNetworks_;
    std::shared_ptr<CancelFlag> cancelFlag_;
    QStringList entriesInUse_;
    // The last model a generation ran with, and what it was chosen as; only
    // the generating thread touches them (one generation runs at a time).
    std::shared_ptr<const LoadedModel> loaded_;
    QString loadedKey_;
    std::thread worker_;
};

} // namespace dravelin
