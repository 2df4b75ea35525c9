#pragma once

#include "pipeline/SamplerChoice.h"

#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>

namespace dravelin {

// The settings of the main screen beyond prompt, seed, steps and guidance:
// the sampler, the image size and how many images one click makes. The size
// presets follow the chosen model's family.
class GenerationSettings : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList samplerNames READ samplerNames CONSTANT)
    Q_PROPERTY(QString sampler READ sampler WRITE setSampler NOTIFY samplerChanged)
    Q_PROPERTY(bool isXL READ isXL WRITE setXL NOTIFY familyChanged)
    Q_PROPERTY(QStringList sizePresetNames READ sizePresetNames NOTIFY familyChanged)
    Q_PROPERTY(int sizePreset READ sizePreset NOTIFY sizeChanged)
    Q_PROPERTY(int width READ width NOTIFY sizeChanged)
    Q_PROPERTY(int height READ height NOTIFY sizeChanged)
    Q_PROPERTY(int imageCount READ imageCount WRITE setImageCount NOTIFY imageCountChanged)
    Q_PROPERTY(int clipSkip READ clipSkip WRITE setClipSkip NOTIFY clipSkipChanged)

public:
    // Sides are multiples of 8 (a latent cell) within these bounds.
    static constexpr int kSmallestSide = 256;
    static constexpr int kLargestSide = 2048;
    static constexpr int kMostImages = 100;
    // SD 1.x's text encoder has 12 layers.
    static constexpr int kMostClipSkip = 12;

    explicit GenerationSettings(QObject* parent = nullptr);

    // Every row of the scheduler table by its name in a PNG's parameters,
    // with a " Karras" entry beside each that takes Karras spacing.
    QStringList samplerNames() const;
    QString sampler() const { return sampler_; }
    // Ignores names that are not in samplerNames().
    void setSampler(const QString& name);
    SamplerChoice samplerChoice() const;
    void setSamplerChoice(const SamplerChoice& choice);
    static QString samplerName(const SamplerChoice& choice);

    // SD 1.x presets have 512 and 768 sides, SDXL ones about 1024 × 1024
    // pixels in several shapes. Changing the family moves a preset size to
    // the new family's default; a custom size stays.
    bool isXL() const { return isXL_; }
    void setXL(bool isXL);
    QList<QSize> sizePresets() const;
    QStringList sizePresetNames() const;
    // The index of the current size among the presets, -1 for a custom one.
    int sizePreset() const;
    void chooseSizePreset(int index);
    int width() const { return size_.width(); }
    int height() const { return size_.height(); }
    // Why a size cannot be used, in a sentence; empty when it can.
    static QString sizeProblem(int width, int height);
    // Takes the size when sizeProblem() finds none; returns whether it did.
    bool setSize(int width, int height);

    int imageCount() const { return imageCount_; }
    // Clamped to 1 … kMostImages.
    void setImageCount(int count);

    // SD 1.x models condition on the text encoder's hidden state this many
    // from the end (1: the last); SDXL models ignore it.
    int clipSkip() const { return clipSkip_; }
    // Clamped to 1 … kMostClipSkip.
    void setClipSkip(int clipSkip);

signals:
    void samplerChanged();
    void familyChanged();
    void sizeChanged();
    void imageCountChanged();
    void clipSkipChanged();

private:
    QString sampler_;
    bool isXL_ = false;
    QSize size_{512, 512};
    int imageCount_ = 1;
    int clipSkip_ = 1;
};

} // namespace dravelin
