#pragma once

#include <QWidget>

class QFontMetrics;
class QLabel;
class QProgressBar;
class QPushButton;

namespace dravelin {

class ModelStore;

// The screen shown until the model is ready: download it, watch it download
// or load, or recover from a failure.
class SetupView : public QWidget {
    Q_OBJECT
public:
    explicit SetupView(ModelStore& store, QWidget* parent = nullptr);

    // "37%  ·  detail" for a fraction of 0.375: the percentage is truncated.
    static QString progressCaption(double fraction, const QString& detail);
    // The same within `width`: the file name before the detail's " — " is
    // shortened (in its middle, so the extension stays), or left out, but
    // the figures after it are always shown whole.
    static QString progressCaption(double fraction, const QString& detail,
                                   const QFontMetrics& metrics, int width);

private:
    void follow();

    ModelStore& store_;
    QLabel* introduction_;
    QPushButton* downloadButton_;
    QProgressBar* downloadProgress_;
    QLabel* downloadCaption_;
    QPushButton* cancelButton_;
    QProgressBar* spinner_;
    QLabel* loadingText_;
    QWidget* failure_;
    QLabel* failureMessage_;
    QPushButton* tryAgainButton_;
    QPushButton* deleteButton_;
    QPushButton* retryButton_;
};

} // namespace dravelin
