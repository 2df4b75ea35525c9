#include "ui/ControlsPanel.h"

#include "state/Generator.h"
#include "state/ModelStore.h"
#include "state/SessionState.h"
#include "ui/GenerationSettingsView.h"
#include "state/library/ModelLibrary.h"
#include "ui/Icons.h"
#include "ui/ModelPicker.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QShortcut>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>

namespace dravelin {

namespace {

QLabel* heading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QPlainTextEdit* editor(int height, QWidget* parent) {
    auto* edit = new QPlainTextEdit(parent);
    edit->setFixedHeight(height);
    edit->setTabChangesFocus(true);
    edit->setStyleSheet(QStringLiteral(
        "QPlainTextEdit { border: 1px solid rgba(128, 128, 128, 70); border-radius: 5px; }"));
    return edit;
}

// Keeps an editor and a text property in step without feedback loops.
void bindText(QPlainTextEdit* edit, Generator& generator, QString (Generator::*read)() const,
              void (Generator::*write)(const QString&), void (Generator::*changed)()) {
    edit->setPlainText((generator.*read)());
    QObject::connect(edit, &QPlainTextEdit::textChanged, &generator,
                     [edit, &generator, write] { (generator.*write)(edit->toPlainText()); });
    QObject::connect(&generator, changed, edit, [edit, &generator, read] {
        if (edit->toPlainText() != (generator.*read)()) {
            edit->setPlainText((generator.*read)());
        }
    });
}

constexpr double kGuidanceStep = 0.5;

} // namespace

QString ControlsPanel::guidanceLabel(double guidance) {
    return QStringLiteral("Guidance scale: ") + QString::asprintf("%.1f", guidance);
}

QString ControlsPanel::stepCaption(qint64 step, qint64 steps) {
    return QStringLiteral("Step ") + QString::number(step) + QStringLiteral(" of ") +
           QString::number(steps);
}

QString ControlsPanel::timingCaption(double secondsPerStep, double secondsLeft) {
    if (!(secondsPerStep > 0.0)) {
        return {};
    }
    const auto left = static_cast<qint64>(std::llround(std::max(secondsLeft, 0.0)));
    const QString remaining = left < 60 ? QString::number(left) + QStringLiteral(" s")
                                        : QString::number(left / 60) + QStringLiteral(" min ") +
                                              QString::number(left % 60) + QStringLiteral(" s");
    // Small models step in fractions of a second: two decimals there.
    return QString::number(secondsPerStep, 'f', secondsPerStep < 0.95 ? 2 : 1) +
           QStringLiteral(" s per step, ") + remaining + QStringLiteral(" left");
}

ControlsPanel::ControlsPanel(Generator& generator, ModelStore& store, ModelLibrary& library,
                             QWidget* parent)
    : QWidget(parent), generator_(generator), store_(store), library_(library) {
    setFixedWidth(320);
    auto* layout = new QVBoxLayout(this);
    layout_ = layout;
    layout->setSpacing(12);

    picker_ = new ModelPicker(library_, generator_, this);
    layout->addWidget(picker_);

    layout->addWidget(heading(QStringLiteral("Prompt"), this));
    prompt_ = editor(80, this);
    prompt_->setObjectName(QStringLiteral("prompt"));
    layout->addWidget(prompt_);
    layout->addWidget(heading(QStringLiteral("Negative prompt"), this));
    negativePrompt_ = editor(50, this);
    negativePrompt_->setObjectName(QStringLiteral("negativePrompt"));
    layout->addWidget(negativePrompt_);
    bindText(prompt_, generator_, &Generator::prompt, &Generator::setPrompt,
             &Generator::promptChanged);
    bindText(negativePrompt_, generator_, &Generator::negativePrompt, &Generator::setNegativePrompt,
             &Generator::negativePromptChanged);

    auto* seedRow = new QHBoxLayout();
    seedRow->addWidget(new QLabel(QStringLiteral("Seed"), this));
    seed_ = new QLineEdit(generator_.seedText(), this);
    seed_->setObjectName(QStringLiteral("seed"));
    seed_->setPlaceholderText(QStringLiteral("Seed"));
    seedRow->addWidget(seed_, 1);
    auto* random = new QPushButton(QStringLiteral("Random"), this);
    seedRow->addWidget(random);
    layout->addLayout(seedRow);
    connect(seed_, &QLineEdit::textEdited, &generator_, &Generator::setSeedText);
    connect(&generator_, &Generator::seedTextChanged, seed_, [this] {
        if (seed_->text() != generator_.seedText()) {
            seed_->setText(generator_.seedText());
        }
    });
    connect(random, &QPushButton::clicked, &generator_, [this] {
        generator_.setSeedText(QString::number(QRandomGenerator::system()->generate()));
    });

    steps_ = new QSpinBox(this);
    steps_->setObjectName(QStringLiteral("steps"));
    steps_->setRange(1, 100);
    steps_->setPrefix(QStringLiteral("Steps: "));
    steps_->setValue(static_cast<int>(generator_.steps()));
    layout->addWidget(steps_);
    connect(steps_, &QSpinBox::valueChanged, &generator_,
            [this](int value) { generator_.setSteps(value); });
    connect(&generator_, &Generator::stepsChanged, steps_, [this] {
        steps_->setValue(static_cast<int>(generator_.steps()));
        followProgress();
    });

    guidanceLabel_ = new QLabel(guidanceLabel(generator_.guidance()), this);
    guidanceLabel_->setObjectName(QStringLiteral("guidanceLabel"));
    layout->addWidget(guidanceLabel_);
    guidance_ = new QSlider(Qt::Horizontal, this);
    guidance_->setObjectName(QStringLiteral("guidance"));
    guidance_->setRange(2, 40); // 1.0 to 20.0 in steps of 0.5
    guidance_->setValue(static_cast<int>(std::lround(generator_.guidance() / kGuidanceStep)));
    layout->addWidget(guidance_);
    connect(guidance_, &QSlider::valueChanged, &generator_,
            [this](int value) { generator_.setGuidance(value * kGuidanceStep); });
    connect(&generator_, &Generator::guidanceChanged, this, [this] {
        guidanceLabel_->setText(guidanceLabel(generator_.guidance()));
        const int position = static_cast<int>(std::lround(generator_.guidance() / kGuidanceStep));
        if (guidance_->value() != position) {
            guidance_->setValue(position);
        }
    });

    running_ = new QWidget(this);
    auto* runningLayout = new QVBoxLayout(running_);
    runningLayout->setContentsMargins(0, 0, 0, 0);
    queueCaption_ = new QLabel(running_);
    queueCaption_->setObjectName(QStringLiteral("queueCaption"));
    runningLayout->addWidget(queueCaption_);
    progress_ = new QProgressBar(running_);
    progress_->setTextVisible(false);
    stepCaption_ = new QLabel(running_);
    stepCaption_->setObjectName(QStringLiteral("stepCaption"));
    stepCaption_->setForegroundRole(QPalette::PlaceholderText);
    stepTiming_ = new QLabel(running_);
    stepTiming_->setObjectName(QStringLiteral("stepTiming"));
    stepTiming_->setForegroundRole(QPalette::PlaceholderText);
    stepTiming_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* captionRow = new QHBoxLayout();
    captionRow->addWidget(stepCaption_);
    captionRow->addWidget(stepTiming_, 1);
    auto* stop = new QPushButton(QStringLiteral("Stop"), running_);
    stop->setObjectName(QStringLiteral("stop"));
    runningLayout->addWidget(progress_);
    runningLayout->addLayout(captionRow);
    runningLayout->addWidget(stop);
    layout->addWidget(running_);
    connect(stop, &QPushButton::clicked, &generator_, &Generator::stop);

    generateButton_ = new QPushButton(QStringLiteral("Generate"), this);
    generateButton_->setObjectName(QStringLiteral("generate"));
    generateButton_->setDefault(true);
    generateButton_->setMinimumHeight(36);
    layout->addWidget(generateButton_);
    connect(generateButton_, &QPushButton::clicked, this, &ControlsPanel::generate);
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] {
        if (generateButton_->isVisible()) {
            generate();
        }
    });

    error_ = new QWidget(this);
    auto* errorRow = new QHBoxLayout(error_);
    errorRow->setContentsMargins(0, 0, 0, 0);
    auto* warning = new QLabel(error_);
    warning->setPixmap(themedIcon(QStringLiteral("dialog-warning")).pixmap(16, 16));
    warning->setAlignment(Qt::AlignTop);
    errorRow->addWidget(warning);
    errorText_ = new QLabel(error_);
    errorText_->setObjectName(QStringLiteral("errorText"));
    errorText_->setWordWrap(true);
    errorText_->setStyleSheet(QStringLiteral("color: #c62828;"));
    errorRow->addWidget(errorText_, 1);
    layout->addWidget(error_);

    layout->addStretch(1);
    deleteButton_ = new QPushButton(QStringLiteral("Delete model\u2026"), this);
    deleteButton_->setObjectName(QStringLiteral("deleteModel"));
    deleteButton_->setStyleSheet(QStringLiteral("QPushButton:enabled { color: #c62828; }"));
    layout->addWidget(deleteButton_);
    connect(deleteButton_, &QPushButton::clicked, this, &ControlsPanel::deleteRequested);

    connect(&generator_, &Generator::isGeneratingChanged, this, &ControlsPanel::followGenerating);
    connect(&generator_, &Generator::stepChanged, this, &ControlsPanel::followProgress);
    connect(&generator_, &Generator::queueChanged, this, &ControlsPanel::followProgress);
    connect(&generator_, &Generator::isLoadingModelChanged, this, &ControlsPanel::followProgress);
    connect(&generator_, &Generator::timingChanged, this, [this] {
        stepTiming_->setText(timingCaption(generator_.secondsPerStep(), generator_.secondsLeft()));
    });
    connect(&generator_, &Generator::errorMessageChanged, this, &ControlsPanel::followError);
    followGenerating();
    followError();
}

void ControlsPanel::attach(SessionState& session) {
    session_ = &session;
    auto* view = new GenerationSettingsView(session, this);
    view->setObjectName(QStringLiteral("generationSettings"));
    layout_->insertWidget(layout_->indexOf(guidance_) + 1, view);
    // While a launch waits for LoRAs to merge or download, one click is enough.
    connect(&session.launcher(), &GenerationLauncher::waitingChanged, this, [this] {
        generateButton_->setEnabled(!session_->launcher().isWaiting());
    });
}

void ControlsPanel::generate() {
    if (session_ != nullptr) {
        session_->launcher().launch();
        return;
    }
    if (const std::optional<ModelChoice> choice = library_.choice()) {
        generator_.generate(*choice);
    }
}

void ControlsPanel::followGenerating() {
    const bool generating = generator_.isGenerating();
    running_->setVisible(generating);
    generateButton_->setVisible(!generating);
    deleteButton_->setEnabled(!generating);
    followProgress();
}

void ControlsPanel::followProgress() {
    progress_->setRange(0, static_cast<int>(std::max<qint64>(generator_.steps(), 1)));
    progress_->setValue(
        static_cast<int>(std::min<qint64>(generator_.step(), progress_->maximum())));
    queueCaption_->setText(generator_.queueCaption());
    queueCaption_->setVisible(!generator_.queueCaption().isEmpty());
    stepCaption_->setText(generator_.isLoadingModel()
                              ? QStringLiteral("Loading model\u2026")
                              : stepCaption(generator_.step(), generator_.steps()));
}

void ControlsPanel::followError() {
    error_->setVisible(!generator_.errorMessage().isNull());
    errorText_->setText(generator_.errorMessage());
}

} // namespace dravelin
