#include "state/download/ModelDownload.h"

#include "state/download/ModelDownloadProcedure.h"

#include <QNetworkAccessManager>

namespace dravelin {

QString ModelDownload::repository() {
    return QStringLiteral("stable-diffusion-v1-5/stable-diffusion-v1-5");
}

const QList<QPair<QString, QString>>& ModelDownload::installMap() {
    static const QList<QPair<QString, QString>> map{
        {QStringLiteral("tokenizer/vocab.json"), QStringLiteral("vocab.json")},
        {QStringLiteral("tokenizer/merges.txt"), QStringLiteral("merges.txt")},
        {QStringLiteral("text_encoder/config.json"),
         QStringLiteral("TextEncoder.model/config.json")},
        {QStringLiteral("text_encoder/model.fp16.safetensors"),
         QStringLiteral("TextEncoder.model/model.fp16.safetensors")},
        {QStringLiteral("unet/config.json"), QStringLiteral("Unet.model/config.json")},
        {QStringLiteral("unet/diffusion_pytorch_model.fp16.safetensors"),
         QStringLiteral("Unet.model/diffusion_pytorch_model.fp16.safetensors")},
        {QStringLiteral("vae/config.json"), QStringLiteral("VAEDecoder.model/config.json")},
        {QStringLiteral("vae/diffusion_pytorch_model.fp16.safetensors"),
         QStringLiteral("VAEDecoder.model/diffusion_pytorch_model.fp16.safetensors")},
    };
    return map;
}

QString ModelDownload::previewRepository() {
    return QStringLiteral("madebyollin/taesd");
}

QString ModelDownload::xlPreviewRepository() {
    return QStringLiteral("madebyollin/taesdxl");
}

const QList<QPair<QString, QString>>& ModelDownload::previewInstallMap() {
    static const QList<QPair<QString, QString>> map{
        {QStringLiteral("config.json"), QStringLiteral("PreviewDecoder.model/config.json")},
        {QStringLiteral("diffusion_pytorch_model.safetensors"),
         QStringLiteral("PreviewDecoder.model/diffusion_pytorch_model.safetensors")},
    };
    return map;
}

QUrl ModelDownload::hubBaseUrl() {
    // Read on every call: mirrors and tests point the download elsewhere.
    const QString endpoint = qEnvironmentVariable("HF_ENDPOINT").trimmed();
    return QUrl(endpoint.isEmpty() ? QStringLiteral("https://huggingface.co") : endpoint);
}

ModelDownload::ModelDownload(QNetworkAccessManager* network, QString partialDirectory,
                             QString modelDirectory, QObject* parent)
    : QObject(parent), network_(network), partialDirectory_(std::move(partialDirectory)),
      modelDirectory_(std::move(modelDirectory)) {
    procedure_ = new Procedure(*this);
}

void ModelDownload::start() {
    procedure_->start();
}

void ModelDownload::cancel() {
    procedure_->cancel();
}

} // namespace dravelin
