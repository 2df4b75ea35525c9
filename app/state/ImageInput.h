#pragma once

#include "core/Image.h"
#include "pipeline/HiresFix.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QPointF>
#include <QString>

#include <optional>

namespace dravelin {

class StableDiffusionPipeline;
struct PipelineConfiguration;

// What the input image adds to one generation, taken on the GUI thread and
// handed to the worker: engine images are immutable, so the copy is safe.
struct ImageInputRequest {
    std::optional<Image> image;
    // Present only when something is painted: inpainting.
    std::optional<Image> mask;
    float strength = 0.75f;
    std::optional<HiresFix> hires;

    // Fits the image and mask to the size the pipeline's image encoder
    // takes and sets them on the configuration. Throws std::runtime_error
    // when the model has no image encoder.
    void applyTo(PipelineConfiguration& configuration,
                 const StableDiffusionPipeline& pipeline) const;
};

// The main screen's input image: where it came from (a file, a dropped PNG,
// a result), the strength of image-to-image, a mask painted over it with a
// round brush (paint or erase, undo of the last strokes, clear), and the
// hires option. Every change happens on the GUI thread.
class ImageInput : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasImage READ hasImage NOTIFY imageChanged)
    Q_PROPERTY(QImage image READ image NOTIFY imageChanged)
    Q_PROPERTY(QImage mask READ mask NOTIFY maskChanged)
    Q_PROPERTY(bool hasMask READ hasMask NOTIFY maskChanged)
    Q_PROPERTY(bool canUndo READ canUndo NOTIFY maskChanged)
    Q_PROPERTY(double strength READ strength WRITE setStrength NOTIFY strengthChanged)
    Q_PROPERTY(int brushSize READ brushSize WRITE setBrushSize NOTIFY brushChanged)
    Q_PROPERTY(bool erasing READ erasing WRITE setErasing NOTIFY brushChanged)
    Q_PROPERTY(bool hiresEnabled READ hiresEnabled WRITE setHiresEnabled NOTIFY hiresChanged)
    Q_PROPERTY(double hiresScale READ hiresScale WRITE setHiresScale NOTIFY hiresChanged)
    Q_PROPERTY(double hiresStrength READ hiresStrength WRITE setHiresStrength NOTIFY hiresChanged)
    Q_PROPERTY(int hiresSteps READ hiresSteps WRITE setHiresSteps NOTIFY hiresChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)

public:
    static constexpr int kSmallestBrush = 2;
    static constexpr int kLargestBrush = 200;
    static constexpr int kUndoDepth = 20;
    static constexpr int kMostHiresSteps = 1000;
    static constexpr double kSmallestHiresScale = 1.25;
    static constexpr double kLargestHiresScale = 4.0;

    explicit ImageInput(QObject* parent = nullptr);

    bool hasImage() const { return !image_.isNull(); }
    QImage image() const { return image_; }
    // Grey-level mask of the image's size: white repaints, black keeps.
    QImage mask() const { return mask_; }
    bool hasMask() const { return hasMask_; }
    bool canUndo() const { return !undo_.isEmpty(); }
    double strength() const { return strength_; }
    void setStrength(double strength);
    int brushSize() const { return brushSize_; }
    void setBrushSize(int size);
    bool erasing() const { return erasing_; }
    void setErasing(bool erasing);
    bool hiresEnabled() const { return hiresEnabled_; }
    void setHiresEnabled(bool enabled);
    double hiresScale() const { return hiresScale_; }
    void setHiresScale(double scale);
    // The enlarged pass's strength (above 0, below 1) and steps (0: as many
    // as the generation's).
    double hiresStrength() const { return hiresStrength_; }
    void setHiresStrength(double strength);
    int hiresSteps() const { return hiresSteps_; }
    void setHiresSteps(int steps);
    QString errorMessage() const { return errorMessage_; }

    // Reads a PNG, JPEG or WebP file as the input through the bounded
    // reader (loadImageFile); a failure leaves the current input and sets
    // errorMessage to the reader's sentence.
    bool openFile(const QString& path);
    // Uses an image (a result, say) as the input; the mask starts empty.
    void setImage(const QImage& image);
    void clearImage();

    // A brush stroke in image pixels: a dot at the start, then lines to
    // each further point. Undo takes back a whole stroke.
    void beginStroke(QPointF point);
    void continueStroke(QPointF point);
    void endStroke();
    void undoStroke();
    void clearMask();

    // What the next generation of `steps` steps uses; no image, no change
    // to the generation.
    ImageInputRequest request(int64_t steps = 20) const;

signals:
    void imageChanged();
    void maskChanged();
    void strengthChanged();
    void brushChanged();
    void hiresChanged();
    void errorMessageChanged();

private:
    void setErrorMessage(const QString& message);
    void paintTo(QPointF point);
    void updateHasMask();

    QImage image_;
    QImage mask_;
    bool hasMask_ = false;
    QList<QImage> undo_;
    bool stroking_ = false;
    QPointF lastPoint_;
    double strength_ = 0.75;
    int brushSize_ = 40;
    bool erasing_ = false;
    bool hiresEnabled_ = false;
    double hiresScale_ = 2.0;
    double hiresStrength_ = 0.5;
    int hiresSteps_ = 0;
    QString errorMessage_;
};

} // namespace dravelin
