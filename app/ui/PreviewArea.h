#pragma once

#include <QPixmap>
#include <QWidget>

namespace dravelin {

class Generator;

// The large preview: the generator's preview scaled to fit without
// distortion, or a hint while there is none.
class PreviewArea : public QWidget {
    Q_OBJECT
public:
    explicit PreviewArea(Generator& generator, QWidget* parent = nullptr);

    // The text shown when there is no picture (empty while one is shown).
    QString placeholderText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void imageChanged();

    Generator& generator_;
    QPixmap source_;
    QPixmap scaled_; // scaled once per size or image change, not per paint
};

} // namespace dravelin
