#pragma once

#include <QObject>
#include <QString>

namespace dravelin {

class GenerationSettings;
class Generator;
class LoraLibrary;

// Picks up an image's settings: reads the "parameters" text of a PNG (ours
// or another image tool's) and fills prompt, negative prompt, seed, steps,
// guidance, sampler, size, clip skip, the strength and hires fix, and LoRAs. `notice` then says what was taken and
// names each setting that could not be (a sampler we lack, a model or LoRA
// that is not installed, a size we cannot make); unreadable text changes
// nothing and says why.
class SettingsReader : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)

public:
    SettingsReader(Generator& generator, GenerationSettings& settings, LoraLibrary& library,
                   QObject* parent = nullptr);

    // The installed model's name, to compare with the image's "Model".
    void setModelName(const QString& name) { modelName_ = name; }

    // Reads a PNG file; returns whether settings were taken.
    bool readFile(const QString& path);
    // Applies a "parameters" text; `source` names it in the notice.
    bool apply(const QString& parameters, const QString& source);

    QString notice() const { return notice_; }
    void clearNotice();

signals:
    void noticeChanged();

private:
    void setNotice(const QString& notice);

    Generator& generator_;
    GenerationSettings& settings_;
    LoraLibrary& library_;
    QString modelName_;
    QString notice_;
};

} // namespace dravelin
