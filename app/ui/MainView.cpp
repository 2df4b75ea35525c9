#include "ui/MainView.h"

#include "state/Generator.h"
#include "state/ModelStore.h"
#include "state/SessionState.h"
#include "ui/ControlsPanel.h"
#include "ui/InputImagePanel.h"
#include "ui/PreviewArea.h"
#include "ui/ResultsGrid.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QFrame>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace dravelin {

namespace {

QFrame* divider(QFrame::Shape shape, QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(shape);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QString askWithDialog(QWidget* parent, const QString& suggestedName) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    QString path = QFileDialog::getSaveFileName(parent, QStringLiteral("Save as PNG"),
                                                folder + QLatin1Char('/') + suggestedName,
                                                QStringLiteral("PNG image (*.png)"));
    if (!path.isEmpty() && !path.endsWith(QStringLiteral(".png"), Qt::CaseInsensitive)) {
        path += QStringLiteral(".png");
    }
    return path;
}

} // namespace

MainView::MainView(Generator& generator, ModelStore& store, ModelLibrary& library,
                   SessionState& session, QWidget* parent)
    : QWidget(parent), askSavePath(askWithDialog), generator_(generator), store_(store) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    controls_ = new ControlsPanel(generator_, store_, library, this);
    controls_->attach(session);
    layout->addWidget(controls_);
    layout->addWidget(divider(QFrame::VLine, this));
    inputPanel_ = new InputImagePanel(*generator_.imageInput(), this);
    layout->addWidget(inputPanel_);
    layout->addWidget(divider(QFrame::VLine, this));

    auto* right = new QVBoxLayout();
    right->setSpacing(0);
    previewArea_ = new PreviewArea(generator_, this);
    right->addWidget(previewArea_, 1);
    right->addWidget(divider(QFrame::HLine, this));
    grid_ = new ResultsGrid(generator_, this);
    grid_->setFixedHeight(190);
    right->addWidget(grid_);
    layout->addLayout(right, 1);

    connect(controls_, &ControlsPanel::deleteRequested, this, &MainView::confirmDelete);
    connect(grid_, &ResultsGrid::saveRequested, this, &MainView::save);
    connect(grid_, &ResultsGrid::copyRequested, &generator_, &Generator::copy);
    connect(grid_, &ResultsGrid::useAsInputRequested, this,
            [this](const GeneratedImage& result) { generator_.imageInput()->setImage(result.image); });
    connect(grid_, &ResultsGrid::useSettingsRequested, this, [&session](const GeneratedImage& result) {
        session.reader().apply(result.parametersText(), QStringLiteral("the result"));
    });
}

void MainView::confirmDelete() {
    if (confirmation_ == nullptr) {
        confirmation_ = new QMessageBox(
            QMessageBox::Warning, QStringLiteral("Delete the downloaded model?"),
            QStringLiteral("Delete the downloaded model?"), QMessageBox::Cancel, this);
        confirmation_->setInformativeText(
            QStringLiteral("You will need to download it again before generating images."));
        QPushButton* remove =
            confirmation_->addButton(QStringLiteral("Delete model"), QMessageBox::DestructiveRole);
        remove->setObjectName(QStringLiteral("confirmDelete"));
        connect(remove, &QPushButton::clicked, &store_, &ModelStore::deleteModel);
    }
    confirmation_->open();
}

void MainView::save(const GeneratedImage& result) {
    const QString path = askSavePath(this, result.suggestedFileName());
    if (!path.isEmpty()) {
        generator_.save(result, path);
    }
}

} // namespace dravelin
